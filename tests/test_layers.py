"""The library's folders are layers: a source includes only its own layer and those before
it, so that a newcomer reading one layer needs none above it, and the platform's system
headers stay behind the platform layer."""
import pathlib
import re

import pytest

SOURCES = pathlib.Path(__file__).resolve().parent.parent / "Library" / "src"
LAYERS = ["base", "platform", "io", "devices", "legacy", "servo"]
LOCAL = re.compile(r'^\s*#\s*include\s+"\.\./(\w+)/', re.M)
SYSTEM = re.compile(r"^\s*#\s*include\s+<(windows\.h|termios\.h|unistd\.h|poll\.h|fcntl\.h|"
                    r"pthread\.h|sched\.h|sys/[\w/]+\.h|setupapi\.h|devguid\.h)>", re.M)


def sources_of(layer):
    return sorted(p for p in (SOURCES / layer).iterdir() if p.suffix in {".h", ".cpp"})


@pytest.mark.parametrize("layer", LAYERS)
def test_a_layer_includes_only_the_layers_before_it(layer):
    allowed = set(LAYERS[:LAYERS.index(layer) + 1])
    wrong = {f"{source.name}: {included}"
             for source in sources_of(layer)
             for included in LOCAL.findall(source.read_text(encoding="utf-8"))
             if included not in allowed}
    assert not wrong


@pytest.mark.parametrize("layer", [layer for layer in LAYERS if layer != "platform"])
def test_system_headers_stay_behind_the_platform_layer(layer):
    wrong = {f"{source.name}: {header}"
             for source in sources_of(layer)
             for header in SYSTEM.findall(source.read_text(encoding="utf-8"))}
    assert not wrong
