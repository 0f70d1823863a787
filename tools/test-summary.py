#!/usr/bin/python3
"""Says what a test run ran: per suite, the tests passed, failed and skipped and its time,
then the total, and each failed test by its suite and name.

    tools/test-summary.py BUILD/test-reports

The folder holds the JUnit reports of one ctest run: ctest.xml, ctest's own (ctest
--output-junit), with a test case per ctest test, and NAME.xml for each ctest test NAME
whose program writes one (GoogleTest's --gtest_output=xml:, pytest's --junitxml=). A ctest
test without a report of its own (a check run by cmake -P) counts as one test; one whose
report is missing although it wrote one (it crashed first) is said to have none. Without
ctest.xml, every report in the folder is a suite.

Exit status 1 when a test failed or no report was found, else 0. Only the standard library:
it runs wherever the tests do.
"""
import pathlib
import sys
import xml.etree.ElementTree as ElementTree
from typing import Iterator, List, NamedTuple, Optional, Tuple


class Suite(NamedTuple):
    """A suite's counts, its time (s) and its failed tests' names; `note` says what is
    amiss with its report."""
    name: str
    passed: int
    failed: int
    skipped: int
    seconds: float
    failures: List[str]
    note: str = ""
    parts: Tuple["Suite", ...] = ()  # a pytest run's, one per folder of test files


def cases(root: ElementTree.Element) -> Iterator[ElementTree.Element]:
    """Every test case of a report: <testsuites> of <testsuite>, or one <testsuite>."""
    return root.iter("testcase")


def outcome(case: ElementTree.Element) -> str:
    """"failed", "skipped" or "passed", in GoogleTest's, pytest's and ctest's words."""
    if case.find("failure") is not None or case.find("error") is not None:
        return "failed"
    if (case.find("skipped") is not None or case.get("status") in ("notrun", "disabled")
            or case.get("result") in ("skipped", "suppressed")):
        return "skipped"
    return "passed"


def is_pytest(root: ElementTree.Element) -> bool:
    return root.get("name") == "pytest" or root.find("testsuite[@name='pytest']") is not None


def test_name(root: ElementTree.Element, case: ElementTree.Element) -> str:
    """A failed test's name as its runner takes it back: pytest's file::test, or
    GoogleTest's Suite.Test."""
    classname, name = case.get("classname", ""), case.get("name", "?")
    if is_pytest(root):
        # pytest's class name is the test file's module path, with a test class after it.
        pieces = classname.split(".")
        module = next((i for i in range(len(pieces), 0, -1)
                       if pieces[i - 1].startswith("test")), len(pieces))
        path = "/".join(pieces[:module]) + ".py"
        return "::".join([path, *pieces[module:], name])
    return f"{classname}.{name}" if classname else name


def read(name: str, report: pathlib.Path, seconds: Optional[float]) -> Suite:
    """A suite from its report; its time is `seconds` (ctest's) when known, else the
    report's."""
    root = ElementTree.parse(report).getroot()
    counts = {"passed": 0, "failed": 0, "skipped": 0}
    failures = []
    # A pytest run's suites are its folders of test files, each counted apart as well.
    folders: dict = {}  # type: ignore[type-arg]
    for case in cases(root):
        result = outcome(case)
        counts[result] += 1
        if result == "failed":
            failures.append(test_name(root, case))
        if is_pytest(root):
            folder = test_name(root, case).split("::")[0].rpartition("/")[0] + "/"
            part = folders.setdefault(folder, {"passed": 0, "failed": 0, "skipped": 0,
                                               "seconds": 0.0})
            part[result] += 1
            part["seconds"] += float(case.get("time", 0))
    parts = tuple(Suite(folder, part["passed"], part["failed"], part["skipped"],
                        part["seconds"], []) for folder, part in sorted(folders.items()))
    if seconds is None:
        suite = root if root.tag == "testsuite" else root.find("testsuite")
        timed = root if root.get("time") is not None else suite
        seconds = float(timed.get("time", 0)) if timed is not None else 0.0
    return Suite(name, counts["passed"], counts["failed"], counts["skipped"], seconds, failures,
                 parts=parts if len(parts) > 1 else ())


def suites(folder: pathlib.Path) -> Tuple[List[Suite], Optional[float]]:
    """The suites of the folder's reports, and how long ctest took in all (s), when told."""
    ctest = folder / "ctest.xml"
    if not ctest.exists():
        return [read(report.stem, report, None) for report in sorted(folder.glob("*.xml"))], None
    found = []
    root = ElementTree.parse(ctest).getroot()
    for case in cases(root):
        name, result = case.get("name", "?"), outcome(case)
        seconds = float(case.get("time", 0))
        report = folder / f"{name}.xml"
        if report.exists():
            suite = read(name, report, seconds)
            if result == "failed" and not suite.failed:  # it failed outside any test
                suite = suite._replace(failed=1, failures=[f"{name} (ended with an error "
                                                           "outside its tests)"])
            found.append(suite)
        else:
            failed = result == "failed"
            found.append(Suite(name, int(result == "passed"), int(failed),
                               int(result == "skipped"), seconds,
                               [f"{name} (no report: see its output above)"] if failed else [],
                               "no report of its own: counted as one test"))
    elapsed = root.get("time")
    return found, float(elapsed) if elapsed else None


def main(arguments: List[str]) -> int:
    if len(arguments) != 1:
        print("usage: tools/test-summary.py REPORTS_FOLDER", file=sys.stderr)
        return 2
    folder = pathlib.Path(arguments[0])
    found, elapsed = suites(folder) if folder.is_dir() else ([], None)
    if not found:
        print(f"test summary: no test reports in {folder}", file=sys.stderr)
        return 1
    every = found + [part for suite in found for part in suite.parts]
    width = max(len(suite.name) + 2 for suite in every + [Suite("total", 0, 0, 0, 0.0, [])])
    print("\nTests run, per suite:")
    for suite in found:
        note = f"  ({suite.note})" if suite.note else ""
        print(f"  {suite.name:<{width}}  {suite.passed:6} passed  {suite.failed:4} failed  "
              f"{suite.skipped:4} skipped  {suite.seconds:8.1f} s{note}")
        for part in suite.parts:  # the time its tests took, one after the other
            print(f"    {part.name:<{width - 2}}  {part.passed:6} passed  {part.failed:4} "
                  f"failed  {part.skipped:4} skipped  {part.seconds:8.1f} s")
    total = [sum(getattr(suite, field) for suite in found)
             for field in ("passed", "failed", "skipped", "seconds")]
    clock = f", {elapsed:.0f} s on the clock" if elapsed is not None else ""
    print(f"  {'total':<{width}}  {total[0]:6} passed  {total[1]:4} failed  {total[2]:4} "
          f"skipped  {total[3]:8.1f} s (the suites side by side{clock})")
    for suite in found:
        for failure in suite.failures:
            print(f"FAILED {suite.name}: {failure}")
    return 1 if total[1] else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
