#!/usr/bin/env bash
# Runs the Windows build's tests under Wine, against devices on linked COM ports.
#
#   tools/windows/run-tests.sh [BUILD_DIR [COMMAND...]]
#
# BUILD_DIR (default build-windows) is a cross build (cmake/mingw-w64.cmake). The script
# makes a Wine prefix of its own in BUILD_DIR/wineprefix, plays each COM port pair with a
# socat pseudo-terminal pair, links the ports into the prefix, keeps one wineserver running
# meanwhile, and runs COMMAND there (default: ctest in BUILD_DIR). Everything it started
# ends with it.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=$(realpath "${1:-build-windows}")
shift || true
command=("$@")
((${#command[@]})) || command=(ctest --test-dir "$build" --output-on-failure)

export WINEPREFIX=$build/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko install prompts
unset DISPLAY                              # headless
wine=$(command -v wine64 || command -v wine)

ports=$build/wine-ports  # the pseudo-terminals' links, which the COM ports name
rm -rf "$ports"
mkdir -p "$ports"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -f "$ports/unplug.pid" ] && kill "$(cat "$ports/unplug.pid")" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

pairs=(COM11:COM12 COM13:COM14 COM15:COM16)
for pair in "${pairs[@]}"; do
  library=${pair%:*} device=${pair#*:}
  socat -d -d "pty,raw,echo=0,link=$ports/$library" "pty,raw,echo=0,link=$ports/$device" \
    2>>"$ports/socat.log" &
  pids+=($!)
done
# A device that is unplugged as soon as it hears a byte, and plugged in again shortly after.
unplug=COM17
(
  while :; do
    socat -t 0.05 "pty,raw,echo=0,link=$ports/$unplug" SYSTEM:"head -c 1 >/dev/null" \
      2>>"$ports/socat.log" &
    echo $! >"$ports/unplug.pid"
    wait $! || true
    sleep 0.1
  done
) &
pids=("$!" "${pids[@]}")  # the loop ends first, so that it starts no socat after the others

for name in "${pairs[@]%:*}" "${pairs[@]#*:}" "$unplug"; do
  for _ in $(seq 50); do [ -e "$ports/$name" ] && break; sleep 0.1; done
  [ -e "$ports/$name" ] || { echo "no pseudo-terminal for $name" >&2; exit 1; }
done

[ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot -i >/dev/null 2>&1
# Wine lists its COM ports (HARDWARE\DEVICEMAP\SERIALCOMM) and links them as it starts:
# register them, then start again.
wineserver -k 2>/dev/null || true
wineserver -p >>"$ports/wineserver.log" 2>&1
{
  echo "REGEDIT4"
  echo
  echo "[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]"
  for name in "${pairs[@]%:*}" "${pairs[@]#*:}" "$unplug"; do
    echo "\"$name\"=\"$ports/$name\""
  done
} >"$ports/ports.reg"
"$wine" reg import "Z:${ports//\//\\}\\ports.reg" >/dev/null 2>&1  # Z: is the root
wineserver -k
wineserver -w
wineserver -p >>"$ports/wineserver.log" 2>&1
listed=$("$wine" reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' 2>/dev/null | tr -d '\r')
for name in "${pairs[@]%:*}" "${pairs[@]#*:}" "$unplug"; do
  grep -q " $name\$" <<<"$listed" || { echo "Wine did not list $name:$listed" >&2; exit 1; }
done

export BRIVANE_COM_PAIRS=$(IFS=,; echo "${pairs[*]}")
export BRIVANE_UNPLUG_PORT=$unplug
"${command[@]}"
