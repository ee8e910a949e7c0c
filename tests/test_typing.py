"""The shipped type information: korvi's stub matches the module, the Python layer is strict-clean."""
import ast
import enum
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

from vorrant.orlicam import korvi

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "src" / "vorrant" / "orlicam" / "korvi.pyi"
# Type checkers are native code the sanitizer run gains nothing from (and slows by minutes).
tools = pytest.mark.skipif(bool(os.environ.get("ORLICAM_SANITIZED")), reason="not under sanitizers")


def stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text())


def stub_classes() -> dict[str, ast.ClassDef]:
    return {n.name: n for n in stub_tree().body if isinstance(n, ast.ClassDef)}


def test_installed_package_ships_the_stub_and_typing_marker():
    installed = Path(korvi.__file__).parent
    assert (installed / "py.typed").is_file()
    assert (installed / "korvi.pyi").read_text() == STUB.read_text()


def runtime_functions() -> dict[str, inspect.Signature]:
    return {name: inspect.signature(obj) for name, obj in vars(korvi).items()
            if not name.startswith("_") and callable(obj) and not isinstance(obj, type)
            and type(obj).__module__ != "typing"}


def test_stub_functions_match_runtime_names_parameters_and_annotations():
    # stubtest cannot inspect korvi's own function type, so the stub is compared here.
    stub = {n.name: n for n in stub_tree().body if isinstance(n, ast.FunctionDef)}
    runtime = runtime_functions()
    assert len(runtime) == 43
    assert set(stub) == set(runtime)
    for name, sig in runtime.items():
        node = stub[name]
        assert [a.arg for a in node.args.args] == list(sig.parameters), name
        assert not node.args.vararg and not node.args.kwarg and not node.args.kwonlyargs, name
        for arg, param in zip(node.args.args, sig.parameters.values()):
            assert param.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD, name
            assert ast.unparse(arg.annotation) == param.annotation, (name, arg.arg)
        assert ast.unparse(node.returns) == sig.return_annotation, name


def test_stub_enumerations_list_every_member_with_its_value():
    classes = stub_classes()
    runtime = {n: c for n, c in vars(korvi).items()
               if isinstance(c, type) and issubclass(c, enum.IntEnum) and c is not korvi.IntEnum}
    assert len(runtime) == 8
    for name, cls in runtime.items():
        body = classes[name].body
        members = {s.targets[0].id: ast.literal_eval(s.value) for s in body if isinstance(s, ast.Assign)}
        assert members == {m.name: m.value for m in cls}, name


def test_stub_exceptions_and_records_match_runtime():
    classes = stub_classes()
    errors = {n for n, c in vars(korvi).items() if isinstance(c, type) and issubclass(c, korvi.ASIError)}
    assert errors == {n for n, c in classes.items() if c.bases and ast.unparse(c.bases[0]) in ("ASIError", "Exception")}
    for record in ("CameraInfo", "ControlCaps", "Id", "SupportedMode", "GpsData"):
        runtime_props = {n for n, v in vars(getattr(korvi, record)).items() if inspect.isgetsetdescriptor(v)}
        stub_props = {f.name for f in classes[record].body if isinstance(f, ast.FunctionDef)
                      and any(ast.unparse(d) == "property" for d in f.decorator_list)}
        assert stub_props == runtime_props, record


@tools
def test_stubtest_accepts_the_stub():
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vorrant.orlicam.korvi",
                          "--allowlist", str(ROOT / "stubtest-allowlist.txt")],
                         capture_output=True, text=True, cwd=ROOT / "tests", timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr


@tools
def test_python_layer_is_clean_under_mypy_strict():
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental"],
                         capture_output=True, text=True, cwd=ROOT, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
