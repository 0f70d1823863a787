"""The pip build: the project's own CMake build, for the interpreter that runs pip.

    pip install --no-build-isolation .      # or: pip wheel --no-build-isolation .

CMake configures the checkout's CMakeLists.txt (same sources and flags, tests off) with
-DPython_EXECUTABLE set to this interpreter, builds the module, the brivane package's
native part, the device simulator and the trace decoder, and installs its python component
into a staging folder. From there the module, its type stub (also as the stub package
BrivaneHardwareAPI-stubs, for mypy) and py.typed, and the brivane package, go to the top of
site-packages, and brivane-sim and brivane-trace to the environment's bin.
The version is the project version in CMakeLists.txt. CMAKE_BUILD_PARALLEL_LEVEL sets the
number of compile jobs, one per processor unless it is set.
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def project_version() -> str:
    text = (ROOT / "CMakeLists.txt").read_text()
    match = re.search(r"project\(\s*BrivaneHardwareAPI\s+VERSION\s+([0-9.]+)", text)
    if not match:
        raise RuntimeError("no project(BrivaneHardwareAPI VERSION ...) in CMakeLists.txt")
    return match.group(1)


class CMakeExtension(Extension):
    def __init__(self, name: str):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        module = Path(self.get_ext_fullpath(ext.name)).resolve()
        temp = Path(self.build_temp).resolve()
        build, stage = temp / "cmake", temp / "stage"

        # One build folder per interpreter: a cache made for another one is started anew.
        cache = build / "CMakeCache.txt"
        if cache.exists() and f"Python_EXECUTABLE:FILEPATH={sys.executable}\n" not in (
                cache.read_text()):
            cache.unlink()

        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build),
                        f"-DPython_EXECUTABLE={sys.executable}", "-DBRIVANE_TESTS=OFF",
                        "-DBRIVANE_PYTHON_INSTALL_DIR=site-packages"], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build), "--parallel", jobs, "--target",
                        "BrivaneHardwareAPI", "brivane_native", "brivane-sim", "brivane-trace"],
                       check=True)
        shutil.rmtree(stage, ignore_errors=True)
        subprocess.run(["cmake", "--install", str(build), "--prefix", str(stage),
                        "--component", "python", "--strip"], check=True)

        built = sorted((stage / "site-packages").iterdir())
        if module.name not in [path.name for path in built]:
            raise RuntimeError(f"the build made {[p.name for p in built]}, not {module.name}")
        module.parent.mkdir(parents=True, exist_ok=True)
        for path in built:
            if path.is_dir():
                shutil.copytree(path, module.parent / path.name, dirs_exist_ok=True)
            else:
                shutil.copy2(path, module.parent)
        # The tools are data files under bin, where pip puts them beside the environment's
        # scripts with their executable bits.
        self.distribution.data_files = [
            ("bin", [str(stage / "bin" / tool) for tool in ("brivane-sim", "brivane-trace")])]


setup(
    version=project_version(),
    ext_modules=[CMakeExtension("BrivaneHardwareAPI")],
    cmdclass={"build_ext": CMakeBuild},
    packages=[],
    py_modules=[],
    # Away from build/, the CMake build folder of the README's commands.
    options={"build": {"build_base": "build-pip"}},
    zip_safe=False,
)
