"""detect_kalvars and the three detect_*_handles: how Python sees them, and what they find
on this machine's own serial ports."""
import glob
import time

import pytest

DOCS = {
    "detect_kalvars": "detect available kalvar devices",
    "detect_handles": "detect available handles",
    "detect_wired_handles": "detect available wired handles",
    "detect_wireless_handles": "detect available wireless handles",
}


def test_signatures_doc_strings_and_place_in_the_module(api):
    for name, doc in DOCS.items():
        assert getattr(api, name).__doc__ == f"{name}() -> List[str]\n\n{doc}\n"
        with pytest.raises(TypeError):
            getattr(api, name)(1)
    names = list(vars(api))
    after = names.index("print_cpp_version") + 1
    assert names[after:after + 4] == list(DOCS)


# Kalvars are looked for on USB serial ports only, wireless handles on Bluetooth ones only.
@pytest.mark.parametrize("name, ttys", [("detect_kalvars", "ttyACM*"),
                                        ("detect_wireless_handles", "rfcomm*")])
def test_without_ports_of_its_kind_an_empty_list_at_once(api, name, ttys):
    if glob.glob(f"/sys/class/tty/{ttys}"):
        pytest.skip(f"this machine has {ttys} ports")
    start = time.monotonic()
    assert getattr(api, name)() == []
    assert time.monotonic() - start < 1.0


@pytest.mark.slow
def test_handles_come_back_as_a_list_of_port_names(api):
    # Every kind of port is probed; a silent one costs the 5 s device timeout.
    found = api.detect_handles()
    assert isinstance(found, list)
    assert all(type(port) is str and port.startswith("/dev/") for port in found)
