#!/usr/bin/env bash
# The install rules put the daemon, its systemd unit, the unit's environment
# file and the man page in place, and the unit starts the installed daemon
# with the host and port of that file.
#   install_check.sh <build dir> <configured bindir> <configured sysconfdir>
set -euo pipefail
build=$1 bindir=$2 sysconfdir=$3
root=$(mktemp -d "${TMPDIR:-/tmp}/netbridged-install.XXXXXX")
trap 'rm -rf "$root"' EXIT
DESTDIR="$root" cmake --install "$build" >/dev/null
status=0
need() { [ -e "$root$1" ] || { echo "not installed: $1"; status=1; }; }
need "$bindir/netbridged"
need "$sysconfdir/default/netbridged"
unit=$(find "$root" -path '*/systemd/system/netbridged.service' | head -n 1)
man=$(find "$root" -path '*/man1/netbridged.1' | head -n 1)
[ -n "$unit" ] || { echo "not installed: netbridged.service"; exit 1; }
[ -n "$man" ] || { echo "not installed: netbridged.1"; exit 1; }
grep -qx "ExecStart=$bindir/netbridged --hostname=\${NETBRIDGED_HOST} --port=\${NETBRIDGED_PORT} \$NETBRIDGED_OPTIONS" "$unit" \
  || { echo "unexpected ExecStart in $unit:"; grep ExecStart "$unit"; status=1; }
grep -qx "EnvironmentFile=-$sysconfdir/default/netbridged" "$unit" || { echo "no environment file in $unit"; status=1; }
grep -qx 'KillSignal=SIGINT' "$unit" || { echo "the unit does not stop with SIGINT"; status=1; }
for line in Wants=network-online.target After=network-online.target StartLimitIntervalSec=0 \
    TimeoutStopSec=10 MemoryMax=128M TasksMax=64 LimitNOFILE=512 'DeviceAllow=char-usb_device rw'; do
  grep -qx "$line" "$unit" || { echo "the unit lacks $line"; status=1; }
done
# ProtectClock= would add the RTC to the devices.
! grep -q '^ProtectClock=' "$unit" || { echo "the unit grants the RTC (ProtectClock=)"; status=1; }
if command -v systemd-analyze >/dev/null; then
  exposure=$(systemd-analyze security --offline=yes "$unit" 2>/dev/null | sed -n 's/.*exposure level for .*: \([0-9.]*\).*/\1/p')
  awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 1.5) }' || { echo "exposure $exposure above 1.5"; status=1; }
fi
grep -q '^NETBRIDGED_HOST=' "$root$sysconfdir/default/netbridged" || { echo "no host in the environment file"; status=1; }
grep -q '^NETBRIDGED_PORT=' "$root$sysconfdir/default/netbridged" || { echo "no port in the environment file"; status=1; }
warnings=$(groff -man -ww -z "$man" 2>&1 || true)
[ -z "$warnings" ] || { echo "man page warnings:"; echo "$warnings"; status=1; }
exit $status
