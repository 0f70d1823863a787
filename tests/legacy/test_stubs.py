"""The type stub against the built module: the same classes and functions, overloads,
argument names and defaults as the module's rendered signatures, and no other doc strings."""
import ast
import pathlib
import re
import types

SOURCE_STUB = pathlib.Path(__file__).resolve().parents[2] / "bindings" / "legacy" / "BrivaneHardwareAPI.pyi"

# Names a stub cannot give as keywords, written positional-only and with "_" for " ": the
# arguments pybind11 leaves unnamed, and names with spaces.
POSITIONAL_ONLY = re.compile(r"arg\d+|.* .*")


def words(text):
    return " ".join((text or "").split())


def split_top_level(text):
    parts, depth, start = [], 0, 0
    for i, char in enumerate(text + ","):
        depth += (char in "([{") - (char in ")]}")
        if char == "," and depth == 0 and text[start:i].strip():
            parts.append(text[start:i].strip())
            start = i + 1
    return parts


def rendered(name, doc):
    """Per overload: ([(name, positional only, default text)], doc text)."""
    chunks = re.split(rf"^\d+\. (?={re.escape(name)}\()", doc, flags=re.M)
    overloads = []
    for chunk in chunks[1:] or chunks:
        head, _, text = chunk.partition("\n")
        match = re.fullmatch(rf"{re.escape(name)}\((.*)\) -> .+", head)
        assert match, f"no signature in the doc of {name}: {head!r}"
        parameters = [parameter.partition(": ") for parameter in split_top_level(match.group(1))]
        # A "/" makes every parameter before it positional-only as well.
        last = max((i for i, (argument, _, _) in enumerate(parameters)
                    if POSITIONAL_ONLY.fullmatch(argument)), default=-1)
        overloads.append(([(argument.replace(" ", "_"), i <= last,
                            annotation.partition(" = ")[2] or None)
                           for i, (argument, _, annotation) in enumerate(parameters)], words(text)))
    return overloads


def module_surface(api):
    """{qualified name: "class", an attribute's type name, or each overload's parameters},
    and {qualified name: doc strings}."""
    surface, docs = {}, {}

    def add(qualified, name, value):
        doc = getattr(value, "__doc__", None) or ""
        if isinstance(value, type):
            surface[qualified], docs[qualified] = "class", [words(value.__doc__)]
            for member, item in vars(value).items():
                # Slot wrappers (a class without a constructor) have no signature to state.
                if (member == "__init__" or not member.startswith("__")) and not isinstance(
                        item, types.WrapperDescriptorType):
                    add(f"{qualified}.{member}", member, item)
        elif callable(value):
            overloads = rendered(name, doc)
            surface[qualified] = [parameters for parameters, _ in overloads]
            docs[qualified] = [text for _, text in overloads]
        else:
            surface[qualified] = type(value).__name__

    for name, value in vars(api).items():
        if not name.startswith("_") or name == "__version__":
            add(name, name, value)
    return surface, docs


def stub_surface(api):
    """As module_surface, from the stub beside the module (else the source's), and each
    function's @overload decorators."""
    beside = pathlib.Path(api.__file__).with_name("BrivaneHardwareAPI.pyi")
    path = beside if beside.exists() else SOURCE_STUB
    surface, docs, decorated = {}, {}, {}

    def walk(body, prefix):
        for node in body:
            name = prefix + getattr(node, "name", "")
            if isinstance(node, ast.ClassDef):
                surface[name], docs[name] = "class", [words(ast.get_docstring(node))]
                walk(node.body, name + ".")
            elif isinstance(node, ast.FunctionDef):
                arguments = node.args
                assert not (arguments.vararg or arguments.kwonlyargs or arguments.kwarg), name
                listed = arguments.posonlyargs + arguments.args
                defaults = [None] * (len(listed) - len(arguments.defaults))
                defaults += [ast.unparse(default) for default in arguments.defaults]
                surface.setdefault(name, []).append(
                    [(a.arg, a in arguments.posonlyargs, d) for a, d in zip(listed, defaults)])
                docs.setdefault(name, []).append(words(ast.get_docstring(node)))
                decorated.setdefault(name, []).append(
                    [ast.unparse(d) for d in node.decorator_list] == ["overload"])
            elif isinstance(node, ast.AnnAssign) and not node.target.id.startswith("_") or (
                    isinstance(node, ast.AnnAssign) and node.target.id == "__version__"):
                surface[prefix + node.target.id] = ast.unparse(node.annotation)

    walk(ast.parse(path.read_text(), str(path)).body, "")
    return surface, docs, decorated


def test_stub_states_the_module_signatures(api):
    module, _ = module_surface(api)
    stub, _, decorated = stub_surface(api)
    assert stub == module
    assert {name: flags for name, flags in decorated.items() if any(flags) or len(flags) > 1} == {
        name: [True] * len(overloads) for name, overloads in module.items()
        if isinstance(overloads, list) and len(overloads) > 1}


def test_stub_doc_strings_are_the_module_doc_strings(api):
    _, module = module_surface(api)
    _, stub, _ = stub_surface(api)
    written = {(name, i): text for name, texts in stub.items() for i, text in enumerate(texts)
               if text}
    assert written == {key: module[key[0]][key[1]] for key in written}
