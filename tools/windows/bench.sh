#!/usr/bin/env bash
# The Windows exchange benchmark under Wine, against a device on a socat COM port pair:
#
#   tools/windows/bench.sh [BUILD_DIR [EXCHANGES]]
#
# Runs inside run-tests.sh's setup; finds this prefix's wineserver (by the server folder it
# works in, named after the prefix's device and inode) so that its processor time is shown too.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build-windows}")
count=${2:-10000}
if [ -z "${BRIVANE_COM_PAIRS:-}" ]; then
  exec tools/windows/run-tests.sh "$build" "$0" "$build" "$count"
fi
folder=server-$(printf '%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
for process in /proc/[0-9]*; do
  [[ "$(readlink "$process/cwd" 2>/dev/null)" == */"$folder" ]] &&
    [[ "$(cat "$process/comm" 2>/dev/null)" == wineserver* ]] &&
    export BRIVANE_WINESERVER_PID=${process#/proc/}
done
pair=${BRIVANE_COM_PAIRS%%,*}
"$(command -v wine64 || command -v wine)" "$build/device_exchange_win32.exe" "${pair%:*}" "${pair#*:}" "$count"
