#!/usr/bin/env bash
# ./scripts/package builds the five Debian packages from this tree; each holds
# what it should, with the version of VERSION and its dependencies, the
# installed programs run from the unpacked packages, and lintian finds no
# error in them.
#   packages.sh <source dir> <work dir>
set -euo pipefail
src=$1 work=$2
version=$(head -n 1 "$src/VERSION")
dist=$work/dist
mkdir -p "$work"
"$src/scripts/package" --out "$dist" --work "$work/build" >"$work/package.log" 2>&1 \
  || { tail -n 40 "$work/package.log"; exit 1; }
root=$work/root
rm -rf "$root" && mkdir -p "$root"
status=0
fail() { echo "$*"; status=1; }

# check <package> <Depends entries...> -- <paths in the package...>
check() {
  local p=$1 deb=$dist/$1_${version}_amd64.deb
  shift
  [ -f "$deb" ] || { fail "not built: $deb"; return; }
  dpkg-deb -x "$deb" "$root"
  [ "$(dpkg-deb -f "$deb" Package)" = "$p" ] || fail "$deb: wrong package name"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$p: version is not $version"
  local depends
  depends=$(dpkg-deb -f "$deb" Depends | tr -d ' ')
  while [ "$1" != -- ]; do
    [[ ",$depends," == *",$1"[,\(]* ]] || fail "$p does not depend on $1: $depends"
    shift
  done
  shift
  local files
  files=$(dpkg-deb -c "$deb" | awk '{print substr($6, 2)}')
  for f in "$@"; do
    grep -qx "$f" <<<"$files" || fail "$p lacks $f"
  done
}
lib=/usr/lib/x86_64-linux-gnu
check libinkport1 "libc6" "libusb-1.0-0" "libhidapi-libusb0" -- \
  $lib/libinkport.so.1 $lib/libnetbridge.so.1 $lib/libvlink.so.1 /lib/udev/rules.d/70-inkport-pads.rules
check libinkport-dev "libinkport1(=$version)" -- \
  /usr/include/inkport/inkport.h /usr/include/netbridge/netbridge.h /usr/include/netbridge/agent.h \
  /usr/include/inkagent/protocol.h $lib/pkgconfig/inkport.pc $lib/pkgconfig/netbridge.pc \
  $lib/cmake/inkport/inkportConfig.cmake $lib/libinkport.so $lib/libnetbridge.so $lib/libvlink.so
check netbridged "libinkport1(>=$version)" "adduser" -- \
  /usr/bin/netbridged $lib/inkport/libinkagent.so /lib/systemd/system/netbridged.service \
  /etc/default/netbridged /usr/share/man/man1/netbridged.1.gz
check inkctl "libinkport1(>=$version)" -- /usr/bin/inkctl
check inkwebd -- \
  /usr/bin/inkwebd /usr/lib/systemd/user/inkwebd.service /etc/default/inkwebd \
  /usr/share/man/man1/inkwebd.1.gz /usr/share/doc/inkwebd/web-gateway.md.gz

for so in libinkport libnetbridge libvlink; do
  readelf -d "$root$lib/$so.so.1" | grep -q "Library soname: \[$so.so.1\]" || fail "$so: soname is not $so.so.1"
done
# The bridges find the agent in their own folder.
readelf -d "$root$lib/libnetbridge.so.1" | grep -q 'runpath: \[\$ORIGIN/inkport\]' \
  || fail "libnetbridge does not look for the agent in $lib/inkport"

# Maintainer scripts: the udev rules take effect, the ldconfig trigger, the
# environment file kept as a conffile, the daemon's user, and a unit that is
# registered but neither enabled nor started.
control() { dpkg-deb -I "$dist/$1_${version}_amd64.deb" "$2" 2>/dev/null || true; }
control libinkport1 postinst | grep -q 'udevadm control --reload-rules' || fail "libinkport1 does not reload udev"
control libinkport1 postinst | grep -q 'udevadm trigger' || fail "libinkport1 does not trigger udev"
control libinkport1 triggers | grep -q 'activate-noawait ldconfig' || fail "libinkport1 has no ldconfig trigger"
control netbridged conffiles | grep -qx /etc/default/netbridged || fail "/etc/default/netbridged is no conffile"
control netbridged postinst | grep -q 'adduser --system.*--ingroup plugdev' || fail "netbridged creates no user"
control netbridged postinst | grep -Eq 'deb-systemd-invoke|systemctl .*start' && fail "netbridged starts its unit"
control inkwebd conffiles | grep -qx /etc/default/inkwebd || fail "/etc/default/inkwebd is no conffile"
control inkwebd postinst | grep -Eq 'systemctl .*(enable|start)' && fail "inkwebd enables its user unit"
unit=$root/lib/systemd/system/netbridged.service
grep -qx 'User=netbridged' "$unit" && grep -qx 'Group=plugdev' "$unit" || fail "the unit does not run as netbridged:plugdev"
# systemd's own check, on a copy that starts the unpacked daemon.
sed "s#=/usr/bin/netbridged#=$root/usr/bin/netbridged#" "$unit" >"$work/netbridged.service"
verify=$(systemd-analyze verify --man=no "$work/netbridged.service" 2>&1) || true
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"
sed "s#=/usr/bin/inkwebd#=$root/usr/bin/inkwebd#" "$root/usr/lib/systemd/user/inkwebd.service" \
  >"$work/inkwebd.service"
# A user manager needs a runtime folder, which a CI shell has not.
runtime=$(mktemp -d)
verify=$(XDG_RUNTIME_DIR=$runtime systemd-analyze verify --user --man=no "$work/inkwebd.service" 2>&1) || true
rm -rf "$runtime"
[ -z "$verify" ] || fail "systemd-analyze verify --user: $verify"

# The programs and the pkg-config file work from the unpacked tree.
export LD_LIBRARY_PATH=$root$lib
"$root/usr/bin/netbridged" -v | grep -q '^netbridged v' || fail "netbridged -v does not print its version"
"$root/usr/bin/inkctl" --help >/dev/null 2>&1 || fail "inkctl --help fails"
"$root/usr/bin/inkwebd" --version | grep -q "^inkwebd $version\$" || fail "inkwebd -v does not print $version"
[ "$(PKG_CONFIG_PATH=$root$lib/pkgconfig pkg-config --modversion inkport)" = "$version" ] \
  || fail "pkg-config does not report inkport $version"

# Errors fail the test; the warnings are shown, less the one per udev match
# that asks for AppStream metadata.
lintian_out=$(lintian --fail-on error "$dist"/*_"$version"_amd64.deb 2>&1) || fail "lintian reports errors:"
grep -v -e 'running with root privileges' -e 'appstream-metadata-missing-modalias-provide match rule' \
  <<<"$lintian_out" || true
[ $status -eq 0 ] && echo "five packages of $version checked"
exit $status
