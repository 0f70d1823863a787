"""Every fenced Python sample in docs/ runs, each in a fresh interpreter.

The word after "python" on the fence line says what the sample needs: "arm" or "grip",
then brivane-sim options, for a simulated device whose port the sample gets as PORT;
"hardware" for a real device (skipped); nothing for no device.
"""
import contextlib
import os
import pathlib
import re
import subprocess
import sys

import pytest

REPOSITORY = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPOSITORY / "examples"))
from simulator import Simulator  # noqa: E402

FENCE = re.compile(r"^```python(?P<info>[^\n]*)\n(?P<code>.*?)^```[ \t]*$", re.M | re.S)


def samples():
    for page in sorted((REPOSITORY / "docs").glob("*.md")):
        text = page.read_text(encoding="utf-8")
        for match in FENCE.finditer(text):
            line = text.count("\n", 0, match.start()) + 1
            needs = match["info"].split()
            marks = [pytest.mark.skip(reason="needs a real device")] if needs[:1] == [
                "hardware"] else []
            yield pytest.param(needs, match["code"], id=f"{page.name}:{line}", marks=marks)


@pytest.mark.parametrize("needs, code", samples())
def test_sample_runs(needs, code):
    with contextlib.ExitStack() as stack:
        if needs:
            assert needs[0] in ("arm", "grip"), f"unknown fence word {needs[0]!r}"
            simulator = stack.enter_context(Simulator(*needs))
            code = f"PORT = {simulator.port!r}\n" + code
        result = subprocess.run([sys.executable, "-c", code], cwd=REPOSITORY, timeout=30,
                                capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
