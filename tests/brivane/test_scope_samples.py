"""brivane.scope(plot=...) when its image cannot be put in place: the error carries every
sample it took, which the servo hands out only once."""
import os
import pathlib
import sys
import threading
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
from simulator import Simulator  # noqa: E402

brivane = pytest.importorskip("brivane")
numpy = pytest.importorskip("numpy")
pytest.importorskip("matplotlib")


def take_the_place(folder, target, what):
    """Once the scope's hidden image is made in `folder`, puts `what` where its image goes:
    a file of someone else's, or a folder that holds one."""
    end = time.monotonic() + 10
    while not any(name.startswith(".") for name in os.listdir(folder)):
        if time.monotonic() > end:
            return
        time.sleep(0.005)
    if what == "file":
        target.write_text("someone else's")
    else:
        target.mkdir()
        (target / "inside").write_text("someone else's")


@pytest.mark.parametrize("what, overwrite, error", [
    ("file", False, FileExistsError),
    ("folder", True, OSError),
])
def test_an_image_not_put_in_place_raises_with_every_sample_taken(tmp_path, what, overwrite,
                                                                    error):
    target = tmp_path / "servo.png"
    with Simulator("arm", "--hand", "hold=200") as simulator, \
            brivane.Arm(simulator.port, timeout=1.0) as arm:
        servo = brivane.Servo(arm, rate=500, ramp=0.0)
        servo.effects = [brivane.ConstantForce((1, 0, 0))]
        rival = threading.Thread(target=take_the_place, args=(tmp_path, target, what))
        with servo:
            rival.start()
            with pytest.raises(error) as raised:
                brivane.scope(servo, plot=target, overwrite=overwrite, duration=0.3)
            rival.join()
        taken = raised.value.samples
        kept = servo.samples()
        # From the servo's first sample, each once: none lost with the image.
        assert len(taken) > 0 and taken["time"][0] < 0.01
        assert len(taken) + len(kept) == servo.stats.periods
        assert numpy.all(numpy.diff(numpy.concatenate([taken, kept])["time"]) > 0)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["servo.png"]  # no hidden image left
    assert target.is_file() if what == "file" else target.is_dir()
