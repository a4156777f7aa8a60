"""The .pyi stubs of the native modules agree with the modules as imported:
parameter names, order, kinds and defaults, the names each module defines,
abstract operations. mypy's stubtest compares what it can introspect; the
nanobind callables, which carry no __signature__, are compared here with the
signature nanobind itself declares for them."""

import ast
import importlib
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

# Every native module that ships a stub; a new one is one more entry.
STUBBED = [
    "quorvex.QVRFpga",
    "quorvex.QVRCommService",
    "quorvex.qvrdev.LobeSwitchDirector",
    "quorvex._tbin",
]

# Only what stubtest cannot see; each entry says why.
ALLOWLIST = {
    # nanobind's metaclass (nanobind.nb_type) has no stub of its own to name;
    # the class itself is checked.
    "quorvex.QVRCommService._TCPConn": "metaclass is nanobind's nb_type",
    # nanobind functions are not a function type stubtest recognises and have
    # no inspect signature; test_nanobind_signatures_match_stubs checks them.
    "quorvex._tbin.pack": "nanobind function",
    "quorvex._tbin.pack_file": "nanobind function",
    "quorvex._tbin.describe": "nanobind function",
}


def test_stubtest_finds_no_difference(tmp_path):
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("".join(f"# {why}\n{name}\n" for name, why in ALLOWLIST.items()))
    # The test's own environment, so that stubtest imports the very package
    # (and mypy reads the stubs beside it) that the other tests use. It runs
    # in an empty directory, where nothing can shadow that package, so a
    # relative PYTHONPATH (a development tree) is made absolute first.
    env = dict(os.environ, MYPY_CACHE_DIR=os.devnull)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--allowlist", str(allowlist), *STUBBED],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    out = proc.stdout + proc.stderr
    assert proc.returncode == 0, f"stubtest found differences:\n{out}"


def _stub_of(module):
    """The stub that ships beside a module, as an AST."""
    path = Path(module.__file__).with_name(module.__name__.rpartition(".")[2] + ".pyi")
    return ast.parse(path.read_text(), str(path))


NO_DEFAULT = inspect.Parameter.empty


def _value(node):
    """A default as a value; one that is no literal as its source text."""
    if node is None:
        return NO_DEFAULT
    try:
        return ast.literal_eval(node)
    except ValueError:
        return ast.unparse(node)


def _params(args):
    """(kind, name, default) for every parameter of an ast.arguments."""
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + args.defaults
    out = [("positional-only" if a in args.posonlyargs else "positional", a.arg, _value(d))
           for a, d in zip(positional, defaults)]
    if args.vararg:
        out.append(("*", args.vararg.arg, NO_DEFAULT))
    out += [("keyword-only", a.arg, _value(d)) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        out.append(("**", args.kwarg.arg, NO_DEFAULT))
    return out


def _nanobind_callables(module):
    """(qualified name, callable) for every nanobind function of a module and
    every nanobind method of its classes."""
    for name, value in vars(module).items():
        if hasattr(value, "__nb_signature__"):
            yield name, value
        elif inspect.isclass(value) and value.__module__ == module.__name__:
            for attr, member in vars(value).items():
                if hasattr(member, "__nb_signature__") and attr != "__repr__":
                    yield f"{name}.{attr}", member


def _declared(func):
    """The parameters nanobind declares for a callable of one overload."""
    (sig, _doc, defaults), = func.__nb_signature__
    for i, value in enumerate(defaults or ()):
        sig = sig.replace(f"\\{i}", repr(value))
    tree = ast.parse(sig + ": ...")
    return _params(tree.body[0].args)


def _stub_functions(tree):
    """(qualified name, definition) for every function and method of a stub,
    each overload included."""
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, node
        elif isinstance(node, ast.ClassDef):
            for f in node.body:
                if isinstance(f, ast.FunctionDef):
                    yield f"{node.name}.{f.name}", f


def _is_overload(func):
    return any(isinstance(d, ast.Name) and d.id == "overload" for d in func.decorator_list)


@pytest.mark.parametrize("modname", STUBBED)
def test_nanobind_signatures_match_stubs(modname):
    module = importlib.import_module(modname)
    stub = dict(_stub_functions(_stub_of(module)))
    for name, func in _nanobind_callables(module):
        assert name in stub, f"{modname}.{name} has no stub"
        assert _params(stub[name].args) == _declared(func), f"{modname}.{name}"


@pytest.mark.parametrize("modname", STUBBED)
def test_overloads_state_the_runtime_defaults(modname):
    # stubtest checks the parameters of overloads, but not the default values
    # they spell out.
    module = importlib.import_module(modname)
    for name, func in _stub_functions(_stub_of(module)):
        if not _is_overload(func):
            continue
        runtime = module
        for part in name.split("."):
            runtime = getattr(runtime, part)
        params = inspect.signature(runtime).parameters
        for _kind, pname, default in _params(func.args):
            if default is not NO_DEFAULT and default is not Ellipsis:
                assert params[pname].default == default, f"{modname}.{name}({pname}=...)"
