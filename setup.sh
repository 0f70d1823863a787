#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine: installs what is missing, builds the library, the
# module and the simulator into build/, then runs the demo (skip it with --no-demo).
# Needs root for apt-get; calls sudo itself when run as another user.
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake make g++ pybind11-dev python3-dev python3-pytest python3-serial libgtest-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  "${as_root[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
fi

# The module is built for the interpreter the tests and the demo run with.
cmake -S . -B build -DPython_EXECUTABLE=/usr/bin/python3
cmake --build build -j"$(nproc)"

if [ "${1:-}" != "--no-demo" ]; then
  PYTHONPATH="$PWD/build/python" BRIVANE_SIM="$PWD/build/brivane-sim" \
    /usr/bin/python3 examples/demo.py
fi
