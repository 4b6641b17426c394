#!/usr/bin/env bash
# Every exported name of a library is listed in its version script, no C++
# name leaks, and each library carries its soname.
set -euo pipefail
inkport=$1 netbridge=$2 vlink=$3 src=$4 agent=${5:-}
status=0
check() {
  local lib=$1 soname=$2
  readelf -d "$lib" | grep -q "Library soname: \[$soname\]" || { echo "$lib: soname is not $soname"; status=1; }
  local mangled
  mangled=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -E '^_Z' || true)
  if [ -n "$mangled" ]; then echo "$lib exports C++ names:"; echo "$mangled" | head; status=1; fi
}
check "$inkport" libinkport.so.1
check "$netbridge" libnetbridge.so.1
check "$vlink" libvlink.so.1
# The frame of the pad library is always there.
for name in Initialize Deinitialize IsInitialized RegisterLoggingCallBackProcedure SayHello \
            TranslateErrorCode GetExceptionType GetExceptionCode GetExceptionName GetExceptionMessage \
            LogDeviceStatistics GetDeviceCount wbzero wstr_length astr_to_wstr wstr_to_astr print_wchar_to_asci; do
  nm -D --defined-only "$inkport" | awk '{print $3}' | sed 's/@.*//' | grep -qx "$name" \
    || { echo "libinkport does not export $name"; status=1; }
done
# The reference agent exports its five entry points and nothing else.
if [ -n "$agent" ]; then
  expected="ClientMakeEventCallBackFunction ClientRegisterEventCallBackFunction ClientRegisterFarFunction ClientRegisterResultCallBackFunction ClientRegisterServerConnection"
  actual=$(nm -D --defined-only "$agent" | awk '$2 != "A" {print $3}' | sed 's/@.*//' | sort | tr '\n' ' ' | sed 's/ $//')
  [ "$actual" = "$expected" ] || { echo "libinkagent exports: $actual"; status=1; }
fi
exit $status
