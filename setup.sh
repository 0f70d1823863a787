#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine: installs what is missing, builds the library, the
# module and the simulator into build/, then runs the demo (skip it with --no-demo).
# Needs root for apt-get; calls sudo itself when run as another user.
set -euo pipefail
cd "$(dirname "$0")"

# python3-matplotlib: brivane-trace --plot and its test; python3-mypy: the brivane typing test;
# python3-numpy: the servo's samples(); python3-numba: compiled laws, in their test and docs;
# python3-meshio: brivane.Mesh.load, which reads STL, OBJ and PLY files;
# libmujoco-dev: the physics example (examples/cpp/physics.cpp, built by .ci/cpp-check);
# python3-h5py: brivane.Recorder, brivane.recording and brivane-trace --hdf5; python3-pandas:
# the HDF5 example in docs/viewing.md.
packages=(cmake make g++ pybind11-dev python3-dev python3-pytest python3-serial libgtest-dev
  python3-matplotlib python3-mypy python3-numpy python3-numba python3-meshio libmujoco-dev
  python3-h5py python3-pandas)
tools/install-packages "${packages[@]}"

# The module is built for the interpreter the tests and the demo run with; warnings are
# errors, as in every build of the scripts and CI.
cmake -S . -B build -DPython_EXECUTABLE=/usr/bin/python3 -DBRIVANE_WERROR=ON
cmake --build build -j"$(nproc)"

if [ "${1:-}" != "--no-demo" ]; then
  PYTHONPATH="$PWD/build/python" BRIVANE_SIM="$PWD/build/brivane-sim" \
    /usr/bin/python3 examples/demo.py
fi
