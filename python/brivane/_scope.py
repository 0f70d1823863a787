"""A live view of a running servo: the panels of brivane.plots over the last seconds of its
samples, redrawn about 20 times a second, with its statistics in the title; or, without a
window, the same panels written to an image once the servo stops.

The scope only reads: the servo's thread never waits for it. numpy and matplotlib are
imported when a scope starts, so that `import brivane` needs neither.
"""
from __future__ import annotations

import contextlib
import errno
import math
import os
import secrets
import signal
import time
from typing import TYPE_CHECKING, Any, Callable, List, Optional, Sequence, Union

from .servo import Servo, _number, _sample_dtype

if TYPE_CHECKING:
    import numpy

__all__ = ["scope", "REFRESH"]

#: Seconds between two looks at the servo: the screen's pace, not the servo's. A servo at
#: 1 kHz records 50 samples in between, far fewer than its record holds.
REFRESH = 0.05
#: Seconds between two layouts of the panels. A layout measures every label and costs as
#: much as the drawing itself; between two, the labels stay where they were.
LAYOUT = 1.0

#: An image's path, as os.fspath takes it.
Path = Union[str, os.PathLike[str]]


def scope(servo: Servo, *, seconds: float = 5.0, plot: Optional[Path] = None,
          overwrite: bool = False, duration: Optional[float] = None,
          effects: Optional[Sequence[Any]] = None, panels: Optional[Sequence[str]] = None,
          size: Optional[Sequence[float]] = None, dpi: Optional[float] = None,
          style: str = "screen") -> numpy.ndarray[Any, Any]:
    """Shows `servo` as it runs, in a window: its position (x, y, z), commanded force,
    velocity and period over the last `seconds`, and its statistics in the title. The
    walls and targets of its effects (or of `effects`) are drawn as lines, its failed and
    late periods as marks; `panels`, `size`, `dpi` and `style` ("screen" or "print") are
    those of brivane.plots.plot_samples.

    Ends when the window is closed, when the servo stops (its last samples taken), after
    `duration` seconds, or at Ctrl-C; returns every sample it took, oldest first, as
    Servo.samples() gives them. Since the servo hands each sample out once, these are the
    caller's: none is lost to the view.

    With `plot` (a .png, .svg, .pdf... path) it opens no window: it takes the samples at the
    same pace until the servo stops or `duration` passes, then draws the last `seconds` to
    that image, under a temporary name beside it, renamed onto it once whole. An existing
    `plot` (a symlink too) raises FileExistsError unless `overwrite`, which replaces the
    path itself, never what a symlink points to.

    An error raised once it watches the servo (the image cannot be drawn or put in place, a
    second Ctrl-C) carries every sample it took as its `samples`, an array as it returns, so
    that none is lost with the image. An error raised before (wrong arguments, an existing
    `plot`, a folder that takes no file) has none: nothing was taken.

        try:
            taken = brivane.scope(servo, plot="servo.png")
        except OSError as error:
            taken = getattr(error, "samples", None)
    """
    if not isinstance(servo, Servo):
        raise TypeError(f"scope shows a brivane.Servo, not {type(servo).__name__}")
    seconds = _number(seconds, "seconds", 0.0, above=True)
    if duration is not None:
        duration = _number(duration, "duration", 0.0)
    if not isinstance(overwrite, bool):
        raise TypeError(f"overwrite must be True or False, not {type(overwrite).__name__}")
    try:
        import matplotlib  # type: ignore[import]  # noqa: F401
    except ImportError as error:
        raise ImportError("brivane.scope draws with matplotlib, which is missing: "
                          "apt-get install python3-matplotlib (or pip install matplotlib)"
                          ) from error
    look = dict(effects=effects, panels=panels, size=size, dpi=dpi, style=style)
    if plot is None:
        return _window(servo, seconds, duration, look)
    return _image(servo, seconds, duration, os.fsdecode(plot), overwrite, look)


class _Live:
    """What a scope took from a servo, and its panels over the last `seconds` of it, drawn
    as `look` says (brivane.plots.Panels's options; effects None for the servo's own)."""

    def __init__(self, servo: Servo, seconds: float, figure: Any, look: Any) -> None:
        import numpy

        from . import plots

        self.servo = servo
        self.seconds = seconds
        self.figure = figure
        self.taken: List[Any] = []
        self._numpy = numpy
        self._columns = plots.servo_columns
        self._empty = numpy.empty(0, _sample_dtype(numpy))
        # Every panel a servo's samples fill, made before the first of them comes.
        shape = numpy.zeros(1, self._empty.dtype)
        shape["period"] = 1.0  # a period, which a servo's first sample lacks
        look = dict(look)
        self._effects = look.pop("effects")
        self._shown = self._effects if self._effects is not None else servo.effects
        self.panels = plots.Panels(figure, self._columns(shape), "arm", effects=self._shown,
                                   **look)
        # The panels' layout is run here, once a LAYOUT, rather than at every draw.
        self._layout = figure.get_layout_engine()
        figure.set_layout_engine("none")
        self._laid_out = -math.inf

    def _keep(self, samples: Any) -> None:
        if len(samples):
            self.taken.append(samples)

    def take(self) -> bool:
        """Takes the samples since the last take; whether the servo ran before it, so that
        a False means that nothing more will come."""
        running = self.servo.running
        self._keep(self.servo.samples())
        return running

    def recent(self) -> Any:
        """The samples of the last `seconds`, from as few of the taken arrays as hold them."""
        if not self.taken:
            return self._empty
        start = float(self.taken[-1]["time"][-1]) - self.seconds
        first = len(self.taken) - 1
        while first > 0 and self.taken[first]["time"][0] > start:
            first -= 1
        recent = self._numpy.concatenate(self.taken[first:])
        return recent[recent["time"] >= start]

    def draw(self, layout: bool = False) -> None:
        """Puts the recent samples and the statistics into the panels, and lays them out
        when `layout` or a LAYOUT has passed; the canvas draws."""
        if self._effects is None and self.servo.effects is not self._shown:
            self._shown = self.servo.effects  # a new set, or a glide's
            self.panels.show_effects(self._shown)
        recent = self.recent()
        self.panels.update(self._columns(recent), _title(self.servo, recent["time"]))
        now = time.monotonic()
        if layout or now - self._laid_out >= LAYOUT:
            self._layout.execute(self.figure)
            self._laid_out = now

    def samples(self) -> numpy.ndarray[Any, Any]:
        taken: numpy.ndarray[Any, Any] = (self._numpy.concatenate(self.taken) if self.taken
                                          else self._empty)
        return taken


def _title(servo: Servo, times: Any) -> str:
    """The servo's state and statistics, and the span of the samples drawn (`times`): up
    to the scope's `seconds`, less while it has not run that long."""
    s = servo.stats
    if servo.running:
        state = "running"
    else:
        state = "stopped" if servo.error is None else f"stopped: {servo.error!r}"
    span = (f"{times[0]:.3f} to {times[-1]:.3f} s shown ({times[-1] - times[0]:.3f} s)"
            if len(times) else "no samples yet")
    return (f"servo at {servo.rate:g} Hz, {state}; {span}\n"
            f"{s.rate_hz:.1f} Hz, period p50 {s.period_p50_us / 1e3:.3f} ms, "
            f"p99 {s.period_p99_us / 1e3:.3f} ms, max {s.period_max_us / 1e3:.3f} ms; "
            f"periods {s.periods}, overruns {s.overruns}, failed exchanges {s.failures}")


def _follow(live: _Live, duration: Optional[float], refresh: Callable[[float], bool]) -> None:
    """Takes the servo's samples, the first of them too, every REFRESH seconds until it
    stops, `duration` passes, refresh() says that the view is gone, or Ctrl-C. Between two
    takes, refresh(until) draws and waits to the monotonic time `until`."""
    now = time.monotonic()
    end = math.inf if duration is None else now + duration
    due = now
    with _Interrupt() as interrupt:
        while live.take() and not interrupt.pressed:
            now = time.monotonic()
            if now >= end:
                break
            # The next look one refresh on; a slow draw skips ahead rather than catching up.
            due = max(due + REFRESH, now)
            if not refresh(min(due, end)):
                break
        live.take()  # what came while the last refresh drew


class _Interrupt:
    """Ctrl-C, while it is held here, ends a scope instead of raising KeyboardInterrupt
    somewhere in the drawing (a GUI toolkit would swallow it in a callback, and a sample
    taken from the servo would be lost). A second Ctrl-C raises as usual. Only the main
    thread, and only over Python's own handler."""

    def __init__(self) -> None:
        self.pressed = False
        self._previous: Any = None

    def _handler(self, number: int, frame: Any) -> None:
        if self.pressed:
            raise KeyboardInterrupt
        self.pressed = True

    def __enter__(self) -> "_Interrupt":
        try:
            if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
                self._previous = signal.signal(signal.SIGINT, self._handler)
        except ValueError:  # not the main thread: Ctrl-C is not ours to take
            pass
        return self

    def __exit__(self, *exception: Any) -> None:
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)


def _window(servo: Servo, seconds: float, duration: Optional[float],
            look: Any) -> numpy.ndarray[Any, Any]:
    import matplotlib.pyplot as pyplot  # type: ignore[import]
    from matplotlib import rcsetup

    backend = pyplot.get_backend()
    if backend.lower() in getattr(rcsetup, "non_interactive_bk", ()):
        raise RuntimeError(f"no window opens with matplotlib's backend {backend} (no display?): "
                           "pass plot='servo.png' to draw an image instead")
    figure = pyplot.figure()
    canvas = figure.canvas
    closed = []

    def close(event: Any) -> None:
        closed.append(True)
        # A closed window's toolkit may cancel the timer that ends an event loop's slice.
        canvas.stop_event_loop()

    canvas.mpl_connect("close_event", close)
    try:
        live = _Live(servo, seconds, figure, look)
        if canvas.manager is not None:
            canvas.manager.set_window_title(f"brivane.scope: {servo!r}")
        pyplot.show(block=False)

        def refresh(until: float) -> bool:
            _redraw(live, canvas, until, canvas.start_event_loop)  # the window's events
            return not closed

        _follow(live, duration, refresh)
    finally:
        pyplot.close(figure)
    return live.samples()


def _redraw(live: _Live, canvas: Any, until: float, wait: Callable[[float], Any]) -> None:
    """Draws the panels on `canvas`, here rather than in a GUI callback, where Ctrl-C would
    be lost; then wait()s to the monotonic time `until`, and at least as long as it drew:
    a slow machine's view refreshes less often rather than taking a whole processor from
    the servo and its device."""
    start = time.monotonic()
    live.draw()
    canvas.draw()
    now = time.monotonic()
    wait(max(until - now, now - start, 0.001))


def _image(servo: Servo, seconds: float, duration: Optional[float], target: str,
           overwrite: bool, look: Any) -> numpy.ndarray[Any, Any]:
    from matplotlib.backend_bases import FigureCanvasBase  # type: ignore[import]
    from matplotlib.backends.backend_agg import FigureCanvasAgg  # type: ignore[import]
    from matplotlib.figure import Figure  # type: ignore[import]

    kind = os.path.splitext(target)[1][1:].lower()
    kinds = FigureCanvasBase.get_supported_filetypes()
    if kind not in kinds:
        raise ValueError(f"plot must end in an image's extension ({', '.join(sorted(kinds))}), "
                         f"not {target!r}")
    # Refused before the servo is watched, not after.
    if os.path.lexists(target) and not overwrite:
        raise FileExistsError(errno.EEXIST, "the plot exists; pass overwrite=True to replace it",
                              target)
    if overwrite and os.path.isdir(target) and not os.path.islink(target):
        raise IsADirectoryError(errno.EISDIR, "the plot is a directory", target)
    figure = Figure()
    FigureCanvasAgg(figure)
    live = _Live(servo, seconds, figure, look)
    staged = _staged(target)
    # Made now, so that a folder that cannot take it fails before the wait, not after.
    descriptor = os.open(staged, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(descriptor, "wb") as file:
            _follow(live, duration, _sleep_until)
            live.draw(layout=True)
            figure.savefig(file, format=kind, dpi=live.panels.dpi)
            file.flush()
            os.fsync(file.fileno())
        _publish(staged, target, overwrite)
    except BaseException as error:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(staged)
        # The servo handed these out once: they go with the error rather than nowhere.
        with contextlib.suppress(AttributeError):
            error.samples = live.samples()  # type: ignore[attr-defined]
        raise
    return live.samples()


def _staged(target: str) -> str:
    """A hidden name beside `target` for the image being drawn: with the target's name
    where the file system takes the longer name, else of fixed length."""
    folder, name = os.path.split(target)
    token = secrets.token_hex(4)
    try:
        most = os.pathconf(folder or ".", "PC_NAME_MAX")
    except (OSError, ValueError):
        most = 255
    staged = f".{name}.{token}.tmp"
    if len(os.fsencode(staged)) > most:
        staged = f".brivane-scope.{token}.tmp"
    return os.path.join(folder, staged)


def _sleep_until(until: float) -> bool:
    time.sleep(max(until - time.monotonic(), 0.0))
    return True


def _publish(staged: str, target: str, overwrite: bool) -> None:
    """Renames the whole image onto `target`; without `overwrite`, only where nothing is."""
    if overwrite:
        os.replace(staged, target)  # a symlink is replaced, not written through
        return
    try:
        os.link(staged, target)  # fails where anything came meanwhile
    except FileExistsError:
        raise FileExistsError(errno.EEXIST, "the plot appeared meanwhile; pass overwrite=True "
                              "to replace it", target) from None
    except OSError:  # a file system without hard links
        if os.path.lexists(target):
            raise FileExistsError(errno.EEXIST, "the plot appeared meanwhile", target) from None
        os.rename(staged, target)
        return
    os.unlink(staged)
