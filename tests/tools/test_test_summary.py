"""tools/test-summary.py over small JUnit reports as GoogleTest, pytest and ctest write
them: the counts per suite and in total, each failed test named with its suite, and the
exit status test.sh keeps."""
import pathlib
import subprocess
import sys

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "tools" / "test-summary.py"

GTEST = """<testsuites name="AllTests" time="1.5"><testsuite name="KalvarTest">
  <testcase name="Wakes" status="run" result="completed" classname="KalvarTest"/>
  <testcase name="Forces" status="run" result="completed" classname="KalvarTest">{}</testcase>
  <testcase name="NoPort" status="run" result="skipped" classname="KalvarTest"><skipped/>
  </testcase>
  <testcase name="DISABLED_Old" status="notrun" result="suppressed" classname="KalvarTest"/>
</testsuite></testsuites>"""
PYTEST = """<testsuites><testsuite name="pytest" time="9.0">
  <testcase classname="tests.brivane.test_plots" name="test_size[print]"/>
  <testcase classname="tests.brivane.test_plots" name="test_size[screen]">{}</testcase>
  <testcase classname="tests.brivane.test_plots.TestStyle" name="test_white">{}</testcase>
  <testcase classname="tests.test_docs" name="test_sample[servo.md:220]"><skipped/></testcase>
</testsuite></testsuites>"""
FAILED = "<failure message='assert 969 == 970'/>"


def ctest(*tests):
    """ctest's own report: each ctest test's name, status and time."""
    return "<testsuite>" + "".join(
        f'<testcase name="{name}" time="{time}" status="{status}">'
        f'{"<failure/>" if status == "fail" else ""}</testcase>'
        for name, status, time in tests) + "</testsuite>"


@pytest.mark.parametrize("reports, status, rows, failed", [
    ({"library": GTEST.format(""), "python": PYTEST.format("", ""),
      "ctest": ctest(("library", "run", 2.0), ("python", "run", 12.5), ("headers", "run", 1))},
     0, {"library": (2, 0, 2, 2.0), "python": (3, 0, 1, 12.5), "headers": (1, 0, 0, 1.0),
         "total": (6, 0, 3, 15.5),
         # and each folder of pytest's test files apart
         "tests/brivane/": (3, 0, 0, 0.0), "tests/": (0, 0, 1, 0.0)}, []),
    ({"library": GTEST.format(FAILED), "python": PYTEST.format(FAILED, "<error/>"),
      "ctest": ctest(("library", "fail", 2.0), ("python", "fail", 12.5))},
     1, {"library": (1, 1, 2, 2.0), "python": (1, 2, 1, 12.5), "total": (2, 3, 3, 14.5)},
     ["library: KalvarTest.Forces", "python: tests/brivane/test_plots.py::test_size[screen]",
      "python: tests/brivane/test_plots.py::TestStyle::test_white"]),
    # A suite that crashed before writing its report: counted from ctest's.
    ({"python": PYTEST.format("", ""), "ctest": ctest(("library", "fail", 0.5),
                                                      ("python", "run", 3.0))},
     1, {"library": (0, 1, 0, 0.5), "python": (3, 0, 1, 3.0)},
     ["library: library (no report: see its output above)"]),
    # Without ctest's report every report is a suite, with its own time.
    ({"library": GTEST.format("")}, 0, {"library": (2, 0, 2, 1.5)}, []),
    ({}, 1, {}, []),  # nothing ran
])
def test_the_summary_counts_each_suite_and_names_each_failure(tmp_path, reports, status, rows,
                                                             failed):
    for name, text in reports.items():
        (tmp_path / f"{name}.xml").write_text(text)
    result = subprocess.run([sys.executable, str(SCRIPT), str(tmp_path)], capture_output=True,
                            text=True)
    assert result.returncode == status, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    for suite, numbers in rows.items():
        [words] = [line.split() for line in lines if line.split()[:1] == [suite]]
        assert (int(words[1]), int(words[3]), int(words[5]), float(words[7])) == numbers
    assert [line[len("FAILED "):] for line in lines if line.startswith("FAILED ")] == failed
    assert ("no test reports" in result.stderr) == (not reports)
