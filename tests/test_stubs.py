"""The .pyi stubs of the native modules agree with the modules as imported:
parameter names, order, kinds and defaults, the names each module defines,
abstract operations. mypy's stubtest compares what it can introspect; the
nanobind callables, which carry no __signature__, are compared here with the
signature nanobind itself declares for them."""

import ast
import importlib
import inspect
import os
import re
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
    "quorvex._emulator",
]


def _allowlist():
    """Only the nanobind functions, each with the reason, found in the modules
    as imported. Classes are not on it: every point of them is checked, and
    their one difference that no stub can remove is let through by
    _unstubbable below."""
    entries = {}
    for modname in STUBBED:
        module = importlib.import_module(modname)
        for name, value in vars(module).items():
            if (type(value).__module__ != "nanobind" or inspect.isclass(value)
                    or getattr(value, "__module__", modname) != modname):
                continue
            entries[f"{modname}.{name}"] = (
                "a nanobind function: not a function type stubtest knows, and without "
                "an inspect signature; test_nanobind_signatures_match_stubs checks it")
    return entries


def _unstubbable(error):
    """A nanobind class's metaclass, nanobind.nb_type, which has no stub to name."""
    first = error.splitlines()[0]
    return (first.endswith(" is inconsistent, metaclass differs")
            and "Runtime:\n<class 'nanobind.nb_type'>" in error)


def _stubtest_errors(out):
    """stubtest's report, one text per error."""
    return ["error: " + e.rstrip() for e in re.split(r"^error: ", out, flags=re.M)[1:]]


def test_stubtest_finds_no_difference(tmp_path):
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("".join(f"# {why}\n{name}\n" for name, why in _allowlist().items()))
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
    found = _stubtest_errors(proc.stdout)
    errors = [e for e in found if not _unstubbable(e)]
    assert not errors, "stubtest found differences:\n" + "\n\n".join(errors)
    # A failure that is no reported difference (stubtest itself broke) fails too.
    assert proc.returncode == 0 or found, proc.stdout + proc.stderr


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
                if hasattr(member, "__nb_signature__"):
                    yield f"{name}.{attr}", member


def _declared(func):
    """The parameters nanobind declares for a callable, one list per overload."""
    out = []
    for sig, _doc, defaults in func.__nb_signature__:
        # nanobind writes a default as \N (\=N when its text was given) for
        # the N-th entry of `defaults`; the highest first, so \1 leaves \10.
        for i, value in reversed(list(enumerate(defaults or ()))):
            if isinstance(value, str) and f"\\={i}" in sig:
                sig = sig.replace(f"\\={i}", value)
            sig = sig.replace(f"\\{i}", repr(value))
        out.append(_params(ast.parse(sig + ": ...").body[0].args))
    return out


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
    stub = {}
    for name, func in _stub_functions(_stub_of(module)):
        stub.setdefault(name, []).append(_params(func.args))  # overloads in order
    for name, func in _nanobind_callables(module):
        if name.rpartition(".")[2].startswith("__") and name not in stub:
            continue  # a special method the stub leaves to object's (__repr__)
        assert name in stub, f"{modname}.{name} has no stub"
        assert stub[name] == _declared(func), f"{modname}.{name}"


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


def _runtime_doc(obj):
    """The first paragraph of what the module documents for an object, on one
    line (a stub may keep a sentence that the module wraps)."""
    obj = getattr(obj, "fget", obj)
    if hasattr(obj, "__nb_signature__"):
        doc = obj.__nb_signature__[0][1]
    else:
        doc = inspect.getdoc(obj) if inspect.isclass(obj) or callable(obj) else None
    return " ".join(doc.strip().split("\n\n")[0].split()) if doc and doc.strip() else None


@pytest.mark.parametrize("modname", STUBBED)
def test_stubs_carry_the_first_line_of_each_docstring(modname):
    module = importlib.import_module(modname)
    tree = _stub_of(module)
    checked, seen = 0, set()
    members = []
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and hasattr(module, node.name):
            members.append((node.name, getattr(module, node.name), node))
        elif isinstance(node, ast.ClassDef) and hasattr(module, node.name):
            cls = getattr(module, node.name)
            members.append((node.name, cls, node))
            members += [(f"{node.name}.{f.name}", inspect.getattr_static(cls, f.name, None), f)
                        for f in node.body if isinstance(f, ast.FunctionDef)]
    for name, runtime, stubbed in members:
        want = _runtime_doc(runtime)
        if want is None or name.rpartition(".")[2].startswith("__") or name in seen:
            continue
        seen.add(name)  # the first of several overloads carries the docstring
        got = ast.get_docstring(stubbed)
        assert got, f"{modname}.{name}: the stub has no docstring"
        got = " ".join(got.split("\n\n")[0].split())
        assert want.startswith(got), f"{modname}.{name}: {want!r}"
        checked += 1
    assert checked, f"{modname}: nothing documented in its stub"
