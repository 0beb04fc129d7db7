# shellcheck shell=bash
# The pieces the demos share (scripts/demo.sh, scripts/demo-cluster.sh):
# the build's tools, root, the private network namespace with the simulated
# ports, waiting for a program to be ready, and stopping what the demo
# started on every way out. Sourced, not run; DEMO names the demo in its
# messages.

DEMO=${DEMO:-demo}
DEMO_PIDS=""
DEMO_WORK=""

demo_fail() {
    echo "$DEMO: $*" >&2
    exit 1
}

# demo_bin DIR TOOL...: BIN, the build's bin directory, holding every TOOL.
demo_bin() {
    local dir=$1 tool
    shift
    BIN=$(cd "$dir" 2>/dev/null && pwd) || demo_fail "no build at $dir; run 'make build-x64' first"
    for tool in "$@"; do
        [ -x "$BIN/$tool" ] || demo_fail "$BIN/$tool is missing; build first"
    done
}

# demo_need_root WHAT ARGS...: WHAT says why root is needed; ARGS are the
# script's own, for the hint.
demo_need_root() {
    local what=$1
    shift
    if [ "$(id -u)" -ne 0 ]; then
        echo "$DEMO: needs root ($what);" >&2
        echo "      try: sudo $0 $*" >&2
        exit 1
    fi
}

# demo_inside: true when the script runs again inside the namespace.
demo_inside() {
    [ "${CVDEMO_INSIDE:-}" = 1 ]
}

# demo_enter PORTS TIMEOUT: runs this script again, with BIN as its
# argument, inside a private network namespace holding the simulated ports
# (comma-separated), for at most TIMEOUT seconds. Does not return.
demo_enter() {
    export CVDEMO_INSIDE=1
    exec "$BIN/cvsim" run --ports "$1" --timeout "$2" -- /bin/bash "$0" "$BIN"
}

# demo_workdir: DEMO_WORK, a private temporary directory removed at the end,
# and the traps that stop every process demo_track was given.
demo_workdir() {
    DEMO_WORK=$(mktemp -d "${TMPDIR:-/tmp}/cv$DEMO.XXXXXX")
    trap demo_finish EXIT
    trap 'exit 130' INT TERM
}

demo_track() {
    DEMO_PIDS="$DEMO_PIDS $1"
}

# demo_stop PID [SIGNAL]: ends a tracked process (SIGTERM by default; 0
# only waits for its end) and waits for it; its exit status goes to
# DEMO_STATUS.
demo_stop() {
    local pid=$1 sig=${2:-TERM} left="" p
    kill -"$sig" "$pid" 2>/dev/null || true
    DEMO_STATUS=0
    wait "$pid" 2>/dev/null || DEMO_STATUS=$?
    for p in $DEMO_PIDS; do
        [ "$p" = "$pid" ] || left="$left $p"
    done
    DEMO_PIDS=$left
}

# At the end, however it comes: a further signal (Ctrl-C reaches the demo
# both from the terminal and through cvsim) must not cut the clean-up short.
demo_finish() {
    local p
    trap '' INT TERM
    for p in $DEMO_PIDS; do
        kill -TERM "$p" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    # A wait that a signal cut short: each process ends (and writes its
    # last files) before the directory goes.
    for p in $DEMO_PIDS; do
        while [ -d "/proc/$p" ] && ! grep -q '^[^)]*) Z' "/proc/$p/stat" 2>/dev/null; do
            sleep 0.1
        done
    done
    [ -n "$DEMO_WORK" ] && rm -rf "$DEMO_WORK"
    return 0
}

# demo_wait_for FILE PID WHAT [SECONDS]: waits until FILE exists, as long
# as PID runs, for at most SECONDS (10).
demo_wait_for() {
    local file=$1 pid=$2 what=$3 n=0 limit=$((${4:-10} * 10))
    while [ ! -e "$file" ]; do
        kill -0 "$pid" 2>/dev/null || demo_fail "$what ended before it was ready"
        n=$((n + 1))
        [ $n -gt $limit ] && demo_fail "$what did not start"
        sleep 0.1
    done
    return 0
}
