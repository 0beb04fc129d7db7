#!/bin/sh
# Installs the Debian packages that building and testing need, only those
# that are missing. Runs as root (CI) or through sudo when available.
set -e
PKGS="cmake make g++ g++-multilib googletest python3 iproute2 binutils clang libclang-rt-14-dev socat iperf3 procps tshark"
missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "deps: installing$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends $missing
