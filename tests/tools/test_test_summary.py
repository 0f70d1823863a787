"""tools/test-summary.py over small JUnit reports as GoogleTest, pytest and ctest write
them: the counts per suite and in total, the failed tests named with their suite, and the
exit status test.sh keeps."""
import pathlib
import subprocess
import sys

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "tools" / "test-summary.py"

GTEST = """<?xml version="1.0" encoding="UTF-8"?>
<testsuites tests="4" failures="{failures}" disabled="1" errors="0" time="1.5" name="AllTests">
  <testsuite name="KalvarTest" tests="4" failures="{failures}" skipped="1" time="1.5">
    <testcase name="Wakes" status="run" result="completed" time="0.5" classname="KalvarTest"/>
    <testcase name="Forces" status="run" result="completed" time="1" classname="KalvarTest">
      {failure}
    </testcase>
    <testcase name="NoPort" status="run" result="skipped" time="0" classname="KalvarTest">
      <skipped message="no port"/>
    </testcase>
    <testcase name="DISABLED_Old" status="notrun" result="suppressed" time="0"
              classname="KalvarTest"/>
  </testsuite>
</testsuites>"""
PYTEST = """<?xml version="1.0" encoding="utf-8"?><testsuites><testsuite name="pytest"
  errors="0" failures="1" skipped="1" tests="4" time="9.0">
  <testcase classname="tests.brivane.test_plots" name="test_size[print]" time="1.0"/>
  <testcase classname="tests.brivane.test_plots" name="test_size[screen]" time="1.0">
    <failure message="assert 969 == 970">...</failure></testcase>
  <testcase classname="tests.brivane.test_plots.TestStyle" name="test_white" time="1.0">
    <error message="fixture failed">...</error></testcase>
  <testcase classname="tests.test_docs" name="test_sample_runs[servo.md:220]" time="0">
    <skipped type="pytest.skip" message="needs a real device">...</skipped></testcase>
</testsuite></testsuites>"""


def ctest(*tests):
    """ctest's own report: each ctest test's name, status and time."""
    failure = '<failure message="Failed"/>'
    cases = "".join(
        f'<testcase name="{name}" classname="{name}" time="{time}" status="{status}">'
        f'{failure if status == "fail" else ""}</testcase>'
        for name, status, time in tests)
    return f'<?xml version="1.0" encoding="UTF-8"?><testsuite name="host">{cases}</testsuite>'


def summary(folder, reports):
    for name, text in reports.items():
        (folder / f"{name}.xml").write_text(text)
    result = subprocess.run([sys.executable, str(SCRIPT), str(folder)], capture_output=True,
                            text=True)
    return result.returncode, result.stdout + result.stderr


def row(output, suite):
    """A suite's numbers: passed, failed, skipped and seconds."""
    [line] = [line for line in output.splitlines() if line.split()[:1] == [suite]]
    words = line.split()
    return int(words[1]), int(words[3]), int(words[5]), float(words[7])


@pytest.mark.parametrize("reports, status, rows, failed", [
    # Every suite passed; ctest's times are the suites'.
    ({"library": GTEST.format(failures=0, failure=""), "python": PYTEST.replace(
        '<failure message="assert 969 == 970">...</failure>', "").replace(
        '<error message="fixture failed">...</error>', ""),
      "ctest": ctest(("library", "run", 2.0), ("python", "run", 12.5), ("headers", "run", 1))},
     0, {"library": (2, 0, 2, 2.0), "python": (3, 0, 1, 12.5), "headers": (1, 0, 0, 1.0),
         "total": (6, 0, 3, 15.5)}, []),
    # A failure in each: named by its suite, as its runner takes it back.
    ({"library": GTEST.format(failures=1, failure='<failure message="x"/>'), "python": PYTEST,
      "ctest": ctest(("library", "fail", 2.0), ("python", "fail", 12.5))},
     1, {"library": (1, 1, 2, 2.0), "python": (1, 2, 1, 12.5), "total": (2, 3, 3, 14.5)},
     ["library: KalvarTest.Forces", "python: tests/brivane/test_plots.py::test_size[screen]",
      "python: tests/brivane/test_plots.py::TestStyle::test_white"]),
    # A suite that crashed before its report: counted from ctest's, and named.
    ({"python": PYTEST.replace('<failure message="assert 969 == 970">...</failure>', "")
      .replace('<error message="fixture failed">...</error>', ""),
      "ctest": ctest(("library", "fail", 0.5), ("python", "run", 3.0))},
     1, {"library": (0, 1, 0, 0.5), "python": (3, 0, 1, 3.0)},
     ["library: library (no report: see its output above)"]),
    # No ctest report (a run of its own): every report is a suite, with its own time.
    ({"library": GTEST.format(failures=0, failure="")},
     0, {"library": (2, 0, 2, 1.5), "total": (2, 0, 2, 1.5)}, []),
    # Nothing ran.
    ({}, 1, {}, []),
])
def test_the_summary_counts_each_suite_and_names_each_failure(tmp_path, reports, status, rows,
                                                             failed):
    code, output = summary(tmp_path, reports)
    assert code == status, output
    for suite, numbers in rows.items():
        assert row(output, suite) == numbers, output
    assert [line[len("FAILED "):] for line in output.splitlines()
            if line.startswith("FAILED ")] == failed
    if not reports:
        assert "no test reports" in output
