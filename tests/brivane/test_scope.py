"""brivane.scope against brivane-sim, without a window: the image it writes, the samples it
hands back, how it ends and what it refuses. Its cost to the servo is bench/scope.py's."""
import _thread
import os
import pathlib
import signal
import sys
import threading
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
from simulator import Simulator  # noqa: E402

brivane = pytest.importorskip("brivane")
numpy = pytest.importorskip("numpy")
matplotlib = pytest.importorskip("matplotlib")
import matplotlib.figure  # noqa: E402

#: The first bytes of each kind of image.
MAGIC = {"png": b"\x89PNG\r\n\x1a\n", "svg": b"<?xml", "pdf": b"%PDF-"}
#: What each panel's label says, top to bottom.
PANELS = ("x (mm)", "y (mm)", "z (mm)", "force (N)", "velocity", "period (ms)")


@pytest.fixture
def servo():
    """A 500 Hz servo pushing 1 N on an arm held by a simulated hand (200 N/m); not started."""
    with Simulator("arm", "--hand", "hold=200") as simulator, \
            brivane.Arm(simulator.port, timeout=0.05) as arm:
        servo = brivane.Servo(arm, rate=500, ramp=0.0)
        servo.effects = [brivane.ConstantForce((1, 0, 0))]
        yield servo
        servo.stop()


@pytest.fixture
def saved(monkeypatch):
    """The figures scope saves, seen as they are saved."""
    figures = []
    savefig = matplotlib.figure.Figure.savefig

    def spy(figure, *args, **kwargs):
        figures.append(figure)
        return savefig(figure, *args, **kwargs)

    monkeypatch.setattr(matplotlib.figure.Figure, "savefig", spy)
    return figures


def every_sample(servo, taken):
    """What scope took, then what the servo kept after; all it recorded when nothing is
    missing."""
    servo.stop()
    return numpy.concatenate([taken, servo.samples()])


def test_an_image_shows_the_servos_panels_and_every_sample_taken_is_handed_back(
        servo, tmp_path, saved):
    target = tmp_path / "servo.png"
    with servo:
        taken = brivane.scope(servo, plot=target, duration=0.5)
        assert servo.running  # the duration ended it, not the servo

    assert target.read_bytes().startswith(MAGIC["png"])
    assert os.listdir(tmp_path) == ["servo.png"]  # no temporary left beside it
    [figure] = saved
    assert len(figure.axes) == len(PANELS)
    for axes, label in zip(figure.axes, PANELS):
        assert label in axes.get_ylabel()
        assert all(len(line.get_xdata()) for line in axes.get_lines())
    title = figure._suptitle.get_text()  # no get_suptitle() before matplotlib 3.8
    assert "servo at 500 Hz" in title and "overruns" in title and "failed exchanges" in title
    assert figure.axes[-1].get_xlim()[1] == pytest.approx(taken["time"][-1])

    # From the servo's first sample, each once and in order: none lost to the view.
    samples = every_sample(servo, taken)
    assert len(taken) > 0 and taken["time"][0] < 0.01
    assert len(samples) == servo.stats.periods and servo.dropped == 0
    assert numpy.all(numpy.diff(samples["time"]) > 0)


def ctrl_c_while_watching(servo):
    """Ctrl-C as at a terminal, once the scope watches (it then holds Ctrl-C); a stopped
    servo instead if it never does, so that the test fails rather than hangs."""
    end = time.monotonic() + 10
    while signal.getsignal(signal.SIGINT) is signal.default_int_handler:
        if time.monotonic() > end:
            servo.stop()
            return
        time.sleep(0.01)
    time.sleep(0.2)
    _thread.interrupt_main()


@pytest.mark.parametrize("ending", ["the servo stopped by another thread", "Ctrl-C",
                                    "a servo stopped before"])
def test_a_scope_ends_when_the_servo_stops_or_at_ctrl_c(servo, tmp_path, ending):
    target = tmp_path / "servo.png"
    with servo:
        if ending == "a servo stopped before":
            end = time.monotonic() + 3
            while servo.stats.periods < 20 and time.monotonic() < end:
                time.sleep(0.01)
            servo.stop()
        elif ending == "Ctrl-C":
            threading.Thread(target=ctrl_c_while_watching, args=(servo,)).start()
        else:
            threading.Timer(0.3, servo.stop).start()
        taken = brivane.scope(servo, plot=target)  # no duration: only the ending ends it
        assert servo.running == (ending == "Ctrl-C")
    assert target.read_bytes().startswith(MAGIC["png"])
    assert len(every_sample(servo, taken)) == servo.stats.periods > 0


@pytest.mark.parametrize("kind", ["svg", "pdf"])  # png: above
def test_the_image_takes_the_kind_its_name_says(servo, tmp_path, kind):
    target = tmp_path / f"servo.{kind.upper()}"
    assert len(brivane.scope(servo, plot=target)) == 0  # never started: nothing to take
    assert target.read_bytes().startswith(MAGIC[kind])


@pytest.mark.parametrize("existing, overwrite", [
    ("file", False), ("symlink", False), ("dangling symlink", False),
    ("file", True), ("symlink", True),
])
def test_an_existing_image_is_refused_or_replaced_itself_with_overwrite(
        servo, tmp_path, existing, overwrite):
    target = tmp_path / "servo.png"
    pointed = tmp_path / "pointed.txt"
    if existing == "file":
        target.write_text("mine")
    else:
        if existing == "symlink":
            pointed.write_text("mine")
        target.symlink_to(pointed)
    before = os.readlink(target) if target.is_symlink() else target.read_text()
    if overwrite:
        brivane.scope(servo, plot=target, overwrite=True)
        assert not target.is_symlink() and target.read_bytes().startswith(MAGIC["png"])
    else:
        with pytest.raises(FileExistsError, match="overwrite=True"):
            brivane.scope(servo, plot=target)
        assert (os.readlink(target) if target.is_symlink() else target.read_text()) == before
    if existing == "symlink":
        assert pointed.read_text() == "mine"  # never written through
    assert sorted(os.listdir(tmp_path)) == (
        ["pointed.txt", "servo.png"] if existing == "symlink" else ["servo.png"])


@pytest.mark.parametrize("arguments, error, text", [
    (dict(servo="a servo"), TypeError, "not str"),
    (dict(seconds=0), ValueError, "seconds must be above 0"),
    (dict(seconds=-1.0), ValueError, "seconds"),
    (dict(seconds=float("nan")), ValueError, "seconds"),
    (dict(seconds="5"), TypeError, "seconds must be a number"),
    (dict(duration=-0.5), ValueError, "duration must be at least 0"),
    (dict(duration=float("inf")), ValueError, "duration"),
    (dict(overwrite="yes"), TypeError, "overwrite must be True or False"),
    (dict(plot="servo.txt"), ValueError, "image's extension"),
    (dict(plot="servo"), ValueError, "image's extension"),
    (dict(plot="no-such-folder/servo.png"), FileNotFoundError, "no-such-folder"),
])
def test_wrong_arguments_raise_before_anything_is_watched_or_written(
        servo, tmp_path, monkeypatch, arguments, error, text):
    monkeypatch.chdir(tmp_path)
    arguments = {"servo": servo, "plot": "servo.png", **arguments}
    with pytest.raises(error, match=text):
        brivane.scope(arguments.pop("servo"), **arguments)
    assert os.listdir(tmp_path) == []


def test_without_matplotlib_the_error_says_how_to_install_it(servo, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(ImportError, match="apt-get install python3-matplotlib"):
        brivane.scope(servo, plot=tmp_path / "servo.png")


def test_a_window_without_a_display_says_to_draw_an_image_instead(servo):
    pyplot = pytest.importorskip("matplotlib.pyplot")
    backend = pyplot.get_backend()
    pyplot.switch_backend("agg")
    try:
        with pytest.raises(RuntimeError, match="pass plot="):
            brivane.scope(servo)
    finally:
        pyplot.switch_backend(backend)


def test_a_period_whose_exchange_failed_is_drawn_without_a_position():
    """The arm drops every 7th answer: those periods' samples say so, and the panels leave
    their position and velocity out rather than drawing the arm at the origin."""
    from brivane import plots
    with Simulator("arm", "--hand", "hold=200", "--fault", "drop-every=7") as simulator, \
            brivane.Arm(simulator.port, timeout=0.05) as arm:
        with brivane.Servo(arm, rate=500) as servo:
            time.sleep(0.3)
        samples = servo.samples()
    failed = samples["outcome"] != 0
    assert failed.any() and not failed.all()
    columns = plots.servo_columns(samples)
    for name in ("y", "velocity"):
        drawn = numpy.isfinite(columns[name])
        assert not drawn[failed].any() and drawn[~failed].all(), name
    assert (columns["y"][~failed] > 0.02).all()  # the arm rests 24.5 mm out in y
    assert numpy.isnan(columns["period"][0]) and numpy.isfinite(columns["period"][1:]).all()
