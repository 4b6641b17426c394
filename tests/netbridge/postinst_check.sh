#!/usr/bin/env bash
# The daemon package's postinst adopts an existing netbridged account only
# when it is a system account without a login shell, and says why it stops
# otherwise. getent, id and adduser are stand-ins on PATH.
#   postinst_check.sh <postinst>
set -euo pipefail
postinst=$1
bin=$(mktemp -d "${TMPDIR:-/tmp}/postinst.XXXXXX")
trap 'rm -rf "$bin"' EXIT
printf '#!/bin/sh\necho netbridged\n' >"$bin/id"
printf '#!/bin/sh\necho "adduser $*" >>"%s/log"\n' "$bin" >"$bin/adduser"
status=0
for row in "1001 /bin/bash 1" "120 /bin/bash 1" "1001 /usr/sbin/nologin 1" "120 /usr/sbin/nologin 0"; do
  read -r uid shell expected <<<"$row"
  printf '#!/bin/sh\n[ "$1" = group ] && exit 0\necho "netbridged:x:%s:46::/nonexistent:%s"\n' \
    "$uid" "$shell" >"$bin/getent"
  chmod +x "$bin"/*
  rm -f "$bin/log"
  got=0
  err=$(PATH="$bin:$PATH" sh "$postinst" configure 2>&1 >/dev/null) || got=$?
  [ "$got" -eq "$expected" ] || { echo "uid $uid, $shell: status $got, expected $expected"; status=1; }
  if [ "$expected" -ne 0 ]; then
    grep -q "not a system account" <<<"$err" || { echo "uid $uid, $shell: no message: $err"; status=1; }
    ! grep -q plugdev "$bin/log" 2>/dev/null || { echo "uid $uid, $shell: put in plugdev"; status=1; }
  fi
done
exit $status
