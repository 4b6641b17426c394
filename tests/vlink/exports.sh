#!/usr/bin/env bash
# libvlink exports exactly the driver's names: the engine's entries, the
# bridge's data path and agent binding, and the globals the engine and the
# agent may look at. Nothing else, and no C++ names.
set -euo pipefail
lib=$1
expected="
DriverClose DriverEventProcessorFunction DriverGetLastError DriverInfo DriverOpen DriverPoll
DriverQueryInformation DriverResultProcessorFunction DriverSendData DriverSetInformation
FreeTheMediatorDLLInterface GlobalReadDataTmpPtr ICADataArrival InitTheMediatorDLLInterface
Load LoadTheMediatorDLLInterface ResetTheMediatorDLLInterface VdCallWd VdData VdLibMgr
VdProcedures __driver_close __driver_open g_pLibMgrCallTable hClientMediatorHandle
libvlink_WrapLoad pQueueVirtualWrite pWd pfClientMakeEventCallBackFunction
pfClientRegisterEventCallBackFunction pfClientRegisterFarFunction
pfClientRegisterResultCallBackFunction pfClientRegisterServerConnection serverSessionInfo
"
actual=$(nm -D --defined-only "$lib" | awk '$3 != "" {print $3}' | sed 's/@.*//' | grep -v '^VLINK_1$' | sort -u)
wanted=$(echo $expected | tr ' ' '\n' | sort -u)
if [ "$actual" != "$wanted" ]; then
  echo "exported names differ (< exported, > expected):"
  diff <(echo "$actual") <(echo "$wanted") || true
  exit 1
fi
# The engine's global must stay weak so that the engine's own wins.
nm -D --defined-only "$lib" | grep -Eq ' [Vv] g_pLibMgrCallTable' \
  || { echo "g_pLibMgrCallTable is not weak"; exit 1; }
echo "libvlink exports its $(echo "$wanted" | wc -l) names"
