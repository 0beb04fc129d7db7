#!/bin/sh
# Installs the Debian packages that building and testing need, only those
# that are missing. Runs as root (CI) or through sudo when available.
set -e
PKGS="cmake make g++ g++-multilib googletest python3 iproute2 binutils clang libclang-rt-14-dev socat iperf3 procps tshark dpkg-dev lintian systemd man-db libcap2-bin pkg-config libmicrohttpd-dev libjs-dygraphs prometheus chromium curl libwiretap-dev libwsutil-dev libwireshark-dev libglib2.0-dev libnats-dev nats-server"
missing=""
for p in $PKGS; do
    # A package whose triggers are still pending (while another dpkg run
    # goes on) is installed too.
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null |
        grep -Eq "^install ok (installed|triggers-pending|triggers-awaited)$" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "deps: installing$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends $missing
