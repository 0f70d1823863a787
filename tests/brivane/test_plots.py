"""brivane.plots' figures of a real servo's samples on brivane-sim and of recorded traces:
size, dpi, style, panels and window; the effects' lines, the marks on failed and late
periods, the note on a panel within the arm's resolution; brivane-trace --plot's options."""
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
import matplotlib.figure  # noqa: E402
from brivane import plots  # noqa: E402

TRACES = pathlib.Path(__file__).resolve().parents[1] / "tools" / "traces"
MAGIC = {"png": b"\x89PNG\r\n\x1a\n", "svg": b"<?xml", "pdf": b"%PDF-"}


def run_servo(*simulator, effects=(), seconds=0.3):
    """The samples of a 500 Hz servo rendering `effects` (or effects(start)) on an arm
    played by brivane-sim with `simulator`'s options, and the effects it kept."""
    with Simulator("arm", *simulator) as played, brivane.Arm(played.port, timeout=0.05) as arm:
        start = arm.force((0, 0, 0)).position
        with brivane.Servo(arm, rate=500, ramp=0.05) as servo:
            servo.effects = effects(start) if callable(effects) else effects
            time.sleep(seconds)
        return servo.samples(), servo.effects


@pytest.fixture(scope="module")
def wall():
    """A wall 5 mm above the arm's start that a simulated hand pushes it into."""
    return run_servo("--hand", "push=0,0,-1", effects=lambda p: [
        brivane.Plane((p[0], p[1], p[2] + 0.005), (0, 0, 1), 500.0, damping=5.0)])


def png_size(path):
    data = path.read_bytes()
    assert data.startswith(MAGIC["png"])
    return struct.unpack(">II", data[16:24])


@pytest.mark.parametrize("name, options, pixels", [
    ("a.png", {}, (1000, 970)),  # as before: 10 in wide, 1 + 1.45 in a panel
    ("a.png", dict(style="print"), (1050, 1665)),  # 3.5 in at 300 dpi
    ("a.png", dict(size=(6, 4), dpi=150), (900, 600)),
    ("a.pdf", dict(style="print"), None), ("a.svg", {}, None),
])
def test_a_figure_is_its_size_times_its_dpi_in_the_kind_its_name_says(wall, tmp_path, name,
                                                                      options, pixels):
    out = tmp_path / name
    figure = plots.plot_samples(wall[0], out, effects=wall[1], **options)
    kind = name.split(".")[1]
    assert out.read_bytes().startswith(MAGIC[kind])
    if pixels:
        assert png_size(out) == pytest.approx(pixels, abs=1)  # matplotlib rounds down
    printed = options.get("style") == "print"
    assert (figure._suptitle is None) == printed  # no get_suptitle() before matplotlib 3.8
    assert (figure.axes[0].yaxis.label.get_fontsize() == 7.0) == printed
    with pytest.raises(FileExistsError):  # never replaced unless told
        plots.plot_samples(wall[0], out)


@pytest.mark.parametrize("panels", [("z",), ("force", "x"), ("period", "z", "velocity")])
def test_the_panels_chosen_are_drawn_in_their_order(wall, panels):
    figure = plots.plot_samples(wall[0], panels=panels)
    keys = {"x (mm)": "x", "z (mm)": "z", "commanded\nforce (N)": "force",
            "velocity\n(mm/s)": "velocity", "loop\nperiod (ms)": "period"}
    assert tuple(keys[ax.get_ylabel()] for ax in figure.axes) == panels


@pytest.mark.parametrize("window", [(0.1, 0.2), (0.25, 10.0)])
def test_a_window_limits_the_time_drawn(wall, window):
    figure = plots.plot_samples(wall[0], window=window)
    low, high = figure.axes[-1].get_xlim()
    assert window[0] <= low < high <= window[1]
    for line in figure.axes[2].get_lines()[:1]:  # z
        assert ((line.get_xdata() >= low) & (line.get_xdata() <= high)).all()
    assert f"{low:.3f} to {high:.3f} s shown" in figure._suptitle.get_text()


def dashed(figure):
    """Per panel of a position, the heights of its dashed lines (mm)."""
    return {ax.get_ylabel(): sorted(line.get_ydata()[0] for line in ax.get_lines()
                                    if line.get_linestyle() == "--")
            for ax in figure.axes if ax.get_ylabel() in ("x (mm)", "y (mm)", "z (mm)")}


@pytest.mark.parametrize("effect, lines", [
    (brivane.Plane((0.01, 0.02, 0.2), (0, 0, 1), 500.0), {"z (mm)": [200.0]}),
    (brivane.Plane((0.01, 0.02, 0.2), (0, -3, 0), 500.0), {"y (mm)": [20.0]}),
    (brivane.Spring((0.01, 0.02, 0.2), (100.0, 0.0, 100.0)), {"x (mm)": [10.0],
                                                              "z (mm)": [200.0]}),
    (brivane.Box((-0.05, 0.0, 0.15), (0.05, 0.04, 0.25), 800.0),
     {"x (mm)": [-50.0, 50.0], "y (mm)": [0.0, 40.0], "z (mm)": [150.0, 250.0]}),
    (brivane.Plane((0.01, 0.02, 0.2), (0, 1, 1), 500.0), {}),  # at a slant: on no one axis
    (brivane.Sphere((0.0, 0.02, 0.2), 0.03, 500.0), {}),
])
def test_an_effects_wall_or_target_is_a_line_where_it_is_one(wall, effect, lines):
    expected = {label: lines.get(label, []) for label in ("x (mm)", "y (mm)", "z (mm)")}
    assert dashed(plots.plot_samples(wall[0], effects=[effect])) == pytest.approx(expected)


def test_the_scope_draws_the_servos_own_walls(tmp_path, monkeypatch):
    saved, savefig = [], matplotlib.figure.Figure.savefig
    monkeypatch.setattr(matplotlib.figure.Figure, "savefig",
                        lambda figure, *a, **k: (saved.append(figure), savefig(figure, *a, **k)))
    with Simulator("arm", "--hand", "hold=200") as played, \
            brivane.Arm(played.port, timeout=0.05) as arm, brivane.Servo(arm, rate=500) as servo:
        servo.effects = [brivane.Plane((0, 0, 0.15), (0, 0, 1), 500.0)]
        brivane.scope(servo, plot=tmp_path / "wall.svg", duration=0.3, style="print")
    assert dashed(saved[0])["z (mm)"] == pytest.approx([150.0])


@pytest.mark.parametrize("touching", [True, False])
def test_a_meshs_proxy_is_drawn_where_it_is_on_the_surface(touching):
    """A hand pushes the arm down into a box whose top is 3 mm under its start (or, not
    touching, 3 mm beside it)."""
    def box(start):
        x, y, z = start
        if not touching:
            return [brivane.Mesh.box((x + 0.003, y - 0.02, z - 0.04), (x + 0.04, y + 0.02,
                                                                        z + 0.04), 500.0)]
        return [brivane.Mesh.box((x - 0.02, y - 0.02, z - 0.04), (x + 0.02, y + 0.02,
                                                                  z - 0.003), 500.0)]
    samples, _ = run_servo("--hand", "push=0,0,-1", effects=box, seconds=0.5)
    on = (samples["flags"] & 8) != 0
    assert on.any() == touching
    figure = plots.plot_samples(samples)
    for ax, axis in zip(figure.axes, range(3)):
        proxies = [line for line in ax.get_lines() if line.get_label() == "proxy"]
        assert len(proxies) == touching
        if touching:  # each period's proxy, and a gap where it was off the surface
            y = proxies[0].get_ydata()
            assert numpy.array_equal(numpy.isnan(y), ~on)
            assert y[on] == pytest.approx(samples["proxy"][on, axis] * 1e3)
            labels = [t.get_text() for t in ax.get_legend().get_texts()]
            assert "proxy" in labels


def marks(ax):
    """The times of each colour of mark along the top of a panel."""
    return {line.get_color(): line.get_xdata() for line in ax.get_lines()
            if line.get_marker() == "|"}


@pytest.mark.parametrize("simulator, flagged, colour, legend", [
    (("--fault", "drop-every=7"), "failed", "tab:red", "failed periods"),
    (("--latency-us", "3000"), "late", "tab:orange", "late answers"),  # past a 2 ms period
])
def test_failed_and_late_periods_are_marked_and_counted(simulator, flagged, colour, legend):
    samples, _ = run_servo("--hand", "hold=200", *simulator)
    expected = samples["time"][plots.servo_columns(samples)[flagged]]
    assert len(expected) > 0
    figure = plots.plot_samples(samples)
    for ax in figure.axes:
        assert marks(ax)[colour] == pytest.approx(expected)
    texts = [text.get_text() for text in figure.axes[0].get_legend().get_texts()]
    assert f"{legend} ({len(expected)})" in texts


def test_a_traces_late_answers_are_marked():
    session = brivane.trace.read(TRACES / "arm.trace")
    answers = session.exchanges["answer_us"]
    late = 0.5e-6 * float(numpy.nanmax(answers))
    figure = plots.plot_trace(session, late=late)
    expected = session.exchanges["request_time"][answers > late * 1e6]
    assert marks(figure.axes[0])["tab:orange"] == pytest.approx(expected) and len(expected)
    assert f"{len(expected)} later than" in figure._suptitle.get_text()


def test_a_panel_within_the_arms_resolution_says_so_rather_than_stretching():
    # Held by a 200 N/m hand, a 1 N push up moves z 5 mm; x drifts by less than a
    # micrometre, y not at all. Lost answers put marks in every panel too.
    samples, _ = run_servo("--hand", "hold=200", "--fault", "drop-every=50",
                           effects=[brivane.ConstantForce((0, 0, 1))])
    # As the scope draws: the panels made before the samples come, then given them.
    figure = matplotlib.figure.Figure()
    view = plots.Panels(figure, plots.servo_columns(samples[:0]), panels=("x", "y", "z",
                                                                           "period"))
    view.update(plots.servo_columns(samples))
    *axes, period = figure.axes
    notes = [[t.get_text() for t in ax.texts if t.get_visible()] for ax in axes]
    assert notes == [["within the resolution (10 µm)"]] * 2 + [[]]
    shown = plots._RESOLUTIONS_SHOWN * plots.ARM_RESOLUTION * 1e3
    for ax, key in zip(axes, "xy"):
        middle = numpy.nanmean(plots.servo_columns(samples)[key]) * 1e3
        assert ax.get_ylim() == pytest.approx((middle - shown, middle + shown))
    assert numpy.ptp(axes[2].get_ylim()) > 4.0  # z: its motion
    assert period.get_ylim()[0] == 0


@pytest.mark.parametrize("options, text", [
    (dict(style="poster"), "style is one of 'screen', 'print'"),
    (dict(size=(0, 2)), "size is a width and a height above 0"),
    (dict(dpi=0), "dpi is from 1"),
    (dict(window=(0.3, 0.1)), "window starts before it ends"),
    (dict(panels=("z", "hall")), "panels are some of the arm's x, y, z, force"),
])
def test_wrong_options_say_what_they_take(wall, tmp_path, options, text):
    with pytest.raises(ValueError, match=text):
        plots.plot_samples(wall[0], tmp_path / "wall.png", **options)
    assert not (tmp_path / "wall.png").exists()


@pytest.mark.parametrize("options, status, said", [
    ((), 0, (1000, 1115)),  # as before: 10 in wide at 100 dpi, 7 panels
    (("--size", "3.5,2.5", "--dpi", "200", "--style", "print", "--window", "0.03,0.05"), 0,
     (700, 500)),
    (("--panels", "z,answer_us", "--dpi", "50"), 0, (500, 195)),
    (("--panels", "z,hall"), 1, "panels are some of the arm's"),
    (("--size", "3.5"), 2, "--size is a width and a height"),
])
def test_brivane_trace_draws_with_the_same_options(tmp_path, options, status, said):
    out = tmp_path / "arm.png"
    result = subprocess.run([os.environ.get("BRIVANE_TRACE", "brivane-trace"), "--plot",
                             str(out), *options, str(TRACES / "arm.trace")],
                            capture_output=True, text=True)
    assert result.returncode == status, result.stderr
    if status:
        assert said in result.stderr and not out.exists()
    else:
        assert png_size(out) == pytest.approx(said, abs=1)
