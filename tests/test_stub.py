"""orx.pyi against the module: what stubtest does not compare.

stubtest checks names and parameter lists; these checks add the annotation
text (the return annotation included), read-only versus settable properties,
enumeration values and the exception hierarchy.
"""
import ast
import enum
import inspect
import pathlib

import pytest

import orx

STUB = pathlib.Path(__file__).resolve().parent.parent / "python" / "orx.pyi"
TREE = ast.parse(STUB.read_text(encoding="utf-8"))
FUNCTIONS = {n.name: n for n in TREE.body if isinstance(n, ast.FunctionDef)}
CLASSES = {n.name: n for n in TREE.body if isinstance(n, ast.ClassDef)}
RUNTIME_FUNCTIONS = sorted(n for n, v in vars(orx).items() if type(v) is type(orx.open_camera))
RECORDS = ["CameraInfo", "ControlCaps", "GpsData", "Id", "SupportedMode"]


def stub_signature(fn: ast.FunctionDef) -> tuple:
    params = [(a.arg, ast.unparse(a.annotation)) for a in fn.args.args]
    kinds = (fn.args.posonlyargs, fn.args.kwonlyargs, fn.args.vararg, fn.args.kwarg, fn.args.defaults)
    return params, ast.unparse(fn.returns), kinds


def test_stub_has_exactly_the_runtime_functions():
    assert sorted(FUNCTIONS) == RUNTIME_FUNCTIONS
    assert len(RUNTIME_FUNCTIONS) == 43


@pytest.mark.parametrize("name", RUNTIME_FUNCTIONS)
def test_function_signature_matches(name):
    params, returns, (posonly, kwonly, vararg, kwarg, defaults) = stub_signature(FUNCTIONS[name])
    assert (posonly, kwonly, vararg, kwarg, defaults) == ([], [], None, None, [])
    sig = inspect.signature(getattr(orx, name))
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in sig.parameters.values())
    assert [(p.name, p.annotation) for p in sig.parameters.values()] == params
    assert sig.return_annotation == returns
    assert getattr(orx, name).__annotations__ == dict(params, **{"return": returns})


def stub_properties(cls: str) -> dict:
    """property name -> True when the stub gives it a setter."""
    props: dict = {}
    for node in CLASSES[cls].body:
        if not isinstance(node, ast.FunctionDef):
            continue
        for dec in node.decorator_list:
            if isinstance(dec, ast.Name) and dec.id == "property":
                props.setdefault(node.name, False)
            elif isinstance(dec, ast.Attribute) and dec.attr == "setter":
                props[node.name] = True
    return props


@pytest.mark.parametrize("cls", RECORDS)
def test_record_properties_and_their_writability(cls):
    runtime = getattr(orx, cls)
    props = stub_properties(cls)
    assert sorted(props) == sorted(k for k, v in vars(runtime).items() if inspect.isdatadescriptor(v))
    obj = runtime()
    for name, settable in props.items():
        value = {"name": "x" * 64, "id": "abcdefgh"}.get(name, 1)
        if settable:
            setattr(obj, name, value)
            assert getattr(obj, name) == value
        else:
            with pytest.raises(AttributeError):
                setattr(obj, name, value)


@pytest.mark.parametrize("cls", [n for n, v in vars(orx).items() if isinstance(v, type) and issubclass(v, enum.IntEnum) and v is not enum.IntEnum])
def test_enumeration_members_and_values(cls):
    body = CLASSES[cls].body
    members = [(n.targets[0].id, ast.literal_eval(n.value)) for n in body if isinstance(n, ast.Assign)]
    assert members == [(m.name, m.value) for m in getattr(orx, cls)]


def test_exception_classes_and_bases():
    runtime = {n: v for n, v in vars(orx).items() if isinstance(v, type) and issubclass(v, BaseException)}
    stub = {n: ast.unparse(c.bases[0]) for n, c in CLASSES.items() if c.bases and ast.unparse(c.bases[0]).endswith(("Error", "Exception"))}
    assert stub == {n: v.__bases__[0].__name__ for n, v in runtime.items()}
