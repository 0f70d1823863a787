"""The module entry: import, version functions, doc strings and the registered names."""
import contextlib
import io

# Every name the module registers, in registration order.
ALL_NAMES = [
    "SerialStream",
    "UUID",
    "Device",
    "get_cpp_version",
    "print_cpp_version",
    "detect_kalvars",
    "detect_handles",
    "detect_wired_handles",
    "detect_wireless_handles",
    "Kalvar",
    "Handle",
    "__version__",
]
# What the interpreter gives every extension module.
MODULE_BASICS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def test_versions(api):
    assert api.get_cpp_version() == "0.1.8"
    assert api.__version__ == "dev"
    assert api.__name__ == "BrivaneHardwareAPI"
    assert api.__doc__ == "Python Implementation of the Brivane Hardware API"


def test_version_functions_show_their_signatures(api):
    for function, signature, text in [
        (api.get_cpp_version, "get_cpp_version() -> str", "Get the version of the CPP library"),
        (
            api.print_cpp_version,
            "print_cpp_version() -> None",
            "Print the version of the CPP library",
        ),
    ]:
        lines = function.__doc__.splitlines()
        assert lines[0] == signature
        assert [line for line in lines[1:] if line] == [text]


def test_print_cpp_version_writes_to_the_process_stdout(api, capfd):
    redirected = io.StringIO()
    with contextlib.redirect_stdout(redirected):
        assert api.print_cpp_version() is None
    assert redirected.getvalue() == ""
    out, err = capfd.readouterr()
    assert out == "Library version: 0.1.8\n"
    assert err == ""


def test_names_are_registered_in_order(api):
    # The module grows issue by issue: what is there so far is a prefix-ordered part of the
    # full list, nothing else, and always holds the entry's own names.
    names = [name for name in vars(api) if name not in MODULE_BASICS]
    assert set(names) <= set(ALL_NAMES), set(names) - set(ALL_NAMES)
    assert names == sorted(names, key=ALL_NAMES.index)
    for name in ["SerialStream", "UUID", "Device", "get_cpp_version", "print_cpp_version"]:
        assert name in names
    assert names[-1] == "__version__"
