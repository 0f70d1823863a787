"""brivane.plots' figures for papers, of a real servo's samples on brivane-sim and of
recorded traces: their size, resolution, style, panels and time window, the lines of the
effects' walls and targets, the marks on failed and late periods, the note on a panel
within the arm's resolution; and brivane-trace --plot with the same options."""
import os
import pathlib
import struct
import subprocess
import sys
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
from simulator import Simulator  # noqa: E402

brivane = pytest.importorskip("brivane")
numpy = pytest.importorskip("numpy")
pytest.importorskip("matplotlib")
from brivane import plots  # noqa: E402

TRACES = pathlib.Path(__file__).resolve().parents[1] / "tools" / "traces"
#: The first bytes of each kind of image.
MAGIC = {"png": b"\x89PNG\r\n\x1a\n", "svg": b"<?xml", "pdf": b"%PDF-"}


def run_servo(*simulator, effects=(), seconds=0.4):
    """The samples of a 500 Hz servo rendering `effects` for `seconds`, on an arm played by
    brivane-sim with `simulator`'s options, and the effects as the servo kept them."""
    with Simulator("arm", *simulator) as played, brivane.Arm(played.port, timeout=0.05) as arm:
        start = arm.force((0, 0, 0)).position
        with brivane.Servo(arm, rate=500, ramp=0.05) as servo:
            servo.effects = effects(start) if callable(effects) else effects
            time.sleep(seconds)
        return servo.samples(), servo.effects, servo.stats


@pytest.fixture(scope="module")
def wall():
    """A wall 5 mm above the arm's start that a simulated hand pushes it into."""
    return run_servo("--hand", "push=0,0,-1", effects=lambda start: [
        brivane.Plane((start[0], start[1], start[2] + 0.005), (0, 0, 1), 500.0, damping=5.0)])


def png_size(path):
    """A PNG's width and height in pixels, from its header."""
    data = path.read_bytes()
    assert data.startswith(MAGIC["png"])
    return struct.unpack(">II", data[16:24])


def labels(figure):
    return [ax.get_ylabel().replace("\n", " ") for ax in figure.axes]


@pytest.mark.parametrize("size, dpi, style, pixels", [
    (None, None, "screen", (1000, 970)),  # as before: 10 in wide, 1 + 1.45 in a panel
    (None, None, "print", (1050, 1665)),  # 3.5 in at 300 dpi
    ((3.5, 2.4), 300, "print", (1050, 720)),
    ((6, 4), 150, "screen", (900, 600)),
])
def test_an_image_is_its_size_times_its_dpi(wall, tmp_path, size, dpi, style, pixels):
    samples, effects, _ = wall
    out = tmp_path / "wall.png"
    plots.plot_samples(samples, out, effects=effects, size=size, dpi=dpi, style=style)
    assert png_size(out) == pytest.approx(pixels, abs=1)  # matplotlib rounds down


@pytest.mark.parametrize("style", ["screen", "print"])
def test_print_style_is_on_white_in_small_text_without_a_title(wall, style):
    samples, effects, _ = wall
    figure = plots.plot_samples(samples, effects=effects, style=style)
    title = figure._suptitle  # no get_suptitle() before matplotlib 3.8
    ax = figure.axes[0]
    if style == "print":
        assert title is None
        assert ax.yaxis.label.get_fontsize() == 7.0
        assert figure.get_facecolor()[:3] == ax.get_facecolor()[:3] == (1.0, 1.0, 1.0)
    else:
        assert "servo: " in title.get_text() and "s shown" in title.get_text()
        assert ax.yaxis.label.get_fontsize() > 7.0


@pytest.mark.parametrize("panels", [("z",), ("force", "x"), ("period", "z", "velocity")])
def test_the_panels_chosen_are_drawn_in_their_order(wall, panels):
    samples, _, _ = wall
    figure = plots.plot_samples(samples, panels=panels)
    names = {"x": "x (mm)", "z": "z (mm)", "force": "commanded force (N)",
             "velocity": "velocity (mm/s)", "period": "loop period (ms)"}
    assert labels(figure) == [names[key] for key in panels]


@pytest.mark.parametrize("window", [(0.1, 0.2), (0.25, 10.0)])
def test_a_window_limits_the_time_drawn(wall, window):
    samples, _, _ = wall
    figure = plots.plot_samples(samples, window=window)
    low, high = figure.axes[-1].get_xlim()
    assert window[0] <= low < high <= window[1]
    for ax in figure.axes:
        for line in ax.get_lines():
            if line.get_marker() != "|":  # the marks, which have none when none failed
                times = numpy.asarray(line.get_xdata(), float)
                assert len(times) and ((times >= window[0]) & (times <= window[1])).all()
    assert f"{low:.3f} to {high:.3f} s shown" in figure._suptitle.get_text()


def effect_heights(figure):
    """Per panel's label, the heights of its horizontal dashed lines (mm)."""
    return {ax.get_ylabel(): sorted(line.get_ydata()[0] for line in ax.get_lines()
                                    if line.get_linestyle() == "--")
            for ax in figure.axes}


@pytest.mark.parametrize("effect, lines", [
    (brivane.Plane((0.01, 0.02, 0.2), (0, 0, 1), 500.0), {"z (mm)": [200.0]}),
    (brivane.Plane((0.01, 0.02, 0.2), (0, -3, 0), 500.0), {"y (mm)": [20.0]}),
    (brivane.Spring((0.01, 0.02, 0.2), (100.0, 0.0, 100.0)),
     {"x (mm)": [10.0], "z (mm)": [200.0]}),
    (brivane.Box((-0.05, 0.0, 0.15), (0.05, 0.04, 0.25), 800.0),
     {"x (mm)": [-50.0, 50.0], "y (mm)": [0.0, 40.0], "z (mm)": [150.0, 250.0]}),
    (brivane.Plane((0.01, 0.02, 0.2), (0, 1, 1), 500.0), {}),  # at a slant: no one axis
    (brivane.Sphere((0.0, 0.02, 0.2), 0.03, 500.0), {}),
])
def test_an_effects_wall_or_target_is_a_line_where_it_is_one(wall, effect, lines):
    samples, _, _ = wall
    heights = effect_heights(plots.plot_samples(samples, effects=[effect]))
    for label in ("x (mm)", "y (mm)", "z (mm)"):
        assert heights[label] == pytest.approx(lines.get(label, [])), label


def test_the_scope_draws_the_servos_own_walls(tmp_path, monkeypatch):
    import matplotlib.figure
    saved = []
    savefig = matplotlib.figure.Figure.savefig
    monkeypatch.setattr(matplotlib.figure.Figure, "savefig",
                        lambda figure, *a, **k: (saved.append(figure), savefig(figure, *a, **k)))
    with Simulator("arm", "--hand", "hold=200") as played, \
            brivane.Arm(played.port, timeout=0.05) as arm:
        with brivane.Servo(arm, rate=500) as servo:
            servo.effects = [brivane.Plane((0, 0, 0.15), (0, 0, 1), 500.0)]
            brivane.scope(servo, plot=tmp_path / "wall.svg", duration=0.3, style="print")
    assert (tmp_path / "wall.svg").read_bytes().startswith(MAGIC["svg"])
    [figure] = saved
    assert effect_heights(figure)["z (mm)"] == pytest.approx([150.0])
    assert figure._suptitle is None  # print style


@pytest.mark.parametrize("kind", ["png", "pdf", "svg"])
def test_the_file_is_of_the_kind_its_name_says(wall, tmp_path, kind):
    out = tmp_path / f"wall.{kind}"
    plots.plot_samples(wall[0], out, effects=wall[1], style="print")
    assert out.read_bytes().startswith(MAGIC[kind])
    with pytest.raises(FileExistsError):  # never replaced unless told
        plots.plot_samples(wall[0], out)
    plots.plot_samples(wall[0], out, overwrite=True)


def marks(ax):
    """The times of each colour of mark along the top of a panel."""
    return {line.get_color(): numpy.asarray(line.get_xdata(), float)
            for line in ax.get_lines() if line.get_marker() == "|"}


@pytest.mark.parametrize("simulator, flagged, legend", [
    (("--fault", "drop-every=7"), "failed", "failed periods"),
    (("--latency-us", "3000"), "late", "late answers"),  # past a 2 ms period: each late
])
def test_failed_and_late_periods_are_marked_and_counted(simulator, flagged, legend):
    samples, _, _ = run_servo("--hand", "hold=200", *simulator, seconds=0.3)
    columns = plots.servo_columns(samples)
    expected = samples["time"][columns[flagged]]
    assert len(expected) > 0
    figure = plots.plot_samples(samples)
    colour = "tab:red" if flagged == "failed" else "tab:orange"
    for ax in figure.axes:
        assert marks(ax)[colour] == pytest.approx(expected)
    texts = [text.get_text() for text in figure.axes[0].get_legend().get_texts()]
    assert f"{legend} ({len(expected)})" in texts


def test_a_traces_late_and_unanswered_requests_are_marked():
    session = brivane.trace.read(TRACES / "arm.trace")
    answers = session.exchanges["answer_us"]
    late = 0.5 * float(numpy.nanmax(answers)) * 1e-6
    figure = plots.plot_trace(session, late=late)
    expected = session.exchanges["request_time"][answers > late * 1e6]
    assert len(expected) > 0
    assert marks(figure.axes[0])["tab:orange"] == pytest.approx(expected)
    assert f"{len(expected)} later than" in figure._suptitle.get_text()


def test_a_panel_within_the_arms_resolution_says_so_rather_than_stretching():
    # Held by a 200 N/m hand, a 1 N push up moves z 5 mm; x drifts by less than a
    # micrometre, y not at all.
    samples, _, _ = run_servo("--hand", "hold=200", effects=[brivane.ConstantForce((0, 0, 1))])
    figure = plots.plot_samples(samples, panels=("x", "y", "z"))
    notes = {ax.get_ylabel(): [t.get_text() for t in ax.texts if t.get_visible()]
             for ax in figure.axes}
    within = ["within the resolution (10 µm)"]
    assert notes == {"x (mm)": within, "y (mm)": within, "z (mm)": []}
    shown = 2 * plots._RESOLUTIONS_SHOWN * plots.ARM_RESOLUTION * 1e3
    for ax, key in zip(figure.axes[:2], "xy"):
        middle = numpy.nanmean(plots.servo_columns(samples)[key]) * 1e3
        assert ax.get_ylim() == pytest.approx((middle - shown / 2, middle + shown / 2))
    assert numpy.ptp(figure.axes[2].get_ylim()) > 4.0  # z: its motion


@pytest.mark.parametrize("options, error, text", [
    (dict(style="poster"), ValueError, "style is one of 'screen', 'print'"),
    (dict(size=(3.5,)), ValueError, "size"),
    (dict(size=(0, 2)), ValueError, "above 0"),
    (dict(size="3.5x2"), TypeError, "size"),
    (dict(dpi=0), ValueError, "dpi is from 1"),
    (dict(window=(0.3, 0.1)), ValueError, "starts before it ends"),
    (dict(panels=("z", "hall")), ValueError, "x, y, z, force"),
    (dict(panels=("z", "z")), ValueError, "each once"),
])
def test_wrong_options_say_what_they_take(wall, tmp_path, options, error, text):
    with pytest.raises(error, match=text):
        plots.plot_samples(wall[0], tmp_path / "wall.png", **options)
    assert not (tmp_path / "wall.png").exists()


def trace_plot(*options, out):
    return subprocess.run([os.environ.get("BRIVANE_TRACE", "brivane-trace"), "--plot", str(out),
                           *options, str(TRACES / "arm.trace")], capture_output=True, text=True)


@pytest.mark.parametrize("options, pixels", [
    ((), (1000, 1115)),  # as before: 10 in wide at 100 dpi, 7 panels
    (("--size", "3.5,2.5", "--dpi", "200", "--style", "print"), (700, 500)),
    (("--panels", "z,answer_us", "--dpi", "50"), (500, 195)),
    (("--style", "print", "--window", "0.03,0.05"), (1050, 1920)),  # 0.45 + 7 × 0.85 in
])
def test_brivane_trace_draws_with_the_same_options(tmp_path, options, pixels):
    out = tmp_path / "arm.png"
    result = trace_plot(*options, out=out)
    assert result.returncode == 0, result.stderr
    assert png_size(out) == pytest.approx(pixels, abs=1)


@pytest.mark.parametrize("options, status, text", [
    (("--panels", "z,hall"), 1, "panels are some of the arm's"),
    (("--style", "poster"), 1, "style is one of"),
    (("--size", "3.5"), 2, "--size is a width and a height"),
    (("--window", "1,2,3"), 2, "--window is a start and an end"),
    (("--dpi", "many"), 2, "--dpi is a number"),
])
def test_brivane_trace_says_what_its_figure_options_take(tmp_path, options, status, text):
    out = tmp_path / "arm.png"
    result = trace_plot(*options, out=out)
    assert result.returncode == status and text in result.stderr
    assert not out.exists()
