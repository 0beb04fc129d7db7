#!/bin/sh
# Makes sure this machine can execute the 32-bit x86 build before its tests
# run. A tiny -m32 program is compiled and run; where the kernel runs it,
# nothing is changed. Where it cannot (a kernel without 32-bit emulation),
# Debian's qemu-i386-static is registered for i386 ELF programs through
# binfmt_misc, so that every 32-bit binary, test runner and end-to-end test
# runs unchanged under user-mode emulation.
#
# Exit status: 0 32-bit programs run (natively or emulated), 1 they cannot;
# the reason is printed on standard error.
#
# CV_X86_EMULATE=1 registers the emulator even where the kernel runs 32-bit
# programs itself (to exercise the emulated path on such a machine);
# CV_X86_EMULATE=0 forbids registering it.
set -u

NAME=cv-qemu-i386
BINFMT=/proc/sys/fs/binfmt_misc
QEMU=/usr/bin/qemu-i386-static
# ELF, 32-bit, little-endian, executable or shared object, machine i386.
MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

say() { echo "x86: $*" >&2; }

probe_dir=$(mktemp -d /tmp/cvx86.XXXXXX) || exit 1
trap 'rm -rf "$probe_dir"' EXIT

build_probe() {
    printf 'int main(void) { return sizeof(void *) == 4 ? 42 : 1; }\n' >"$probe_dir/p.c"
    cc -m32 -o "$probe_dir/p" "$probe_dir/p.c" 2>"$probe_dir/cc.err" && return 0
    say "cannot build a 32-bit program (is g++-multilib installed?):"
    sed 's/^/    /' "$probe_dir/cc.err" >&2
    return 1
}

# True when the probe runs and reports a 32-bit word.
runs() {
    "$probe_dir/p" >/dev/null 2>&1
    [ $? -eq 42 ]
}

install_emulator() {
    [ -x "$QEMU" ] && return 0
    [ "$(id -u)" -eq 0 ] || { say "installing qemu-user-static needs root"; return 1; }
    say "installing qemu-user-static"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        qemu-user-static >/dev/null 2>&1 ||
        { apt-get update -qq >/dev/null 2>&1 &&
          DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
              qemu-user-static >/dev/null 2>&1; }
    [ -x "$QEMU" ] || { say "qemu-user-static could not be installed"; return 1; }
}

# Registers the emulator for i386 ELF programs. F opens the interpreter now,
# so it also serves programs started in other mount namespaces.
register_emulator() {
    [ "$(id -u)" -eq 0 ] || { say "registering an emulator needs root"; return 1; }
    if [ ! -e "$BINFMT/register" ]; then
        mount -t binfmt_misc binfmt_misc "$BINFMT" 2>"$probe_dir/mount.err" || {
            say "cannot mount binfmt_misc: $(cat "$probe_dir/mount.err")"
            return 1
        }
    fi
    if [ -e "$BINFMT/$NAME" ]; then
        echo 1 >"$BINFMT/$NAME"
    else
        printf ':%s:M::%s:%s:%s:F\n' "$NAME" "$MAGIC" "$MASK" "$QEMU" >"$BINFMT/register" ||
            { say "binfmt_misc refused the registration"; return 1; }
    fi
}

build_probe || exit 1
if runs && [ "${CV_X86_EMULATE:-}" != 1 ]; then
    exit 0
fi
if [ -e "$BINFMT/$NAME" ] && grep -q '^enabled' "$BINFMT/$NAME" && runs; then
    say "32-bit programs run under qemu-i386-static (registered earlier through binfmt_misc)"
    exit 0
fi
if [ "${CV_X86_EMULATE:-}" = 0 ]; then
    say "this kernel cannot execute 32-bit programs, and emulation is turned off (CV_X86_EMULATE=0)"
    exit 1
fi
if [ "${CV_X86_EMULATE:-}" = 1 ]; then
    say "emulation requested: running the 32-bit build under qemu-i386-static (binfmt_misc)"
else
    say "this kernel cannot execute 32-bit programs: running the 32-bit build under qemu-i386-static (binfmt_misc)"
fi
install_emulator && register_emulator || exit 1
runs || { say "32-bit programs do not run even under qemu-i386-static"; exit 1; }
exit 0
