"""The typed surface: stubs of the compiled modules against the runtime, mypy
over the examples, a docstring on every public name, paths as os.PathLike."""
import importlib
import inspect
import pathlib
import subprocess
import sys
import warnings

import pytest

from conftest import EXAMPLES, REPO
from curvixkit import Alignment
from curvixkit.io import icd, landxml

HERE = REPO / "tests"


def _mypy(cwd, *args):
    # Run from a scratch folder: at the repository root the C++ folders
    # curvix/ and planix/ would pass for the modules.
    pytest.importorskip("mypy")
    return subprocess.run([sys.executable, "-m"] + list(args), cwd=str(cwd),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)


def test_stubs_match_the_compiled_modules(tmp_path):
    out = _mypy(tmp_path, "mypy.stubtest", "curvix", "planix",
                "--allowlist", str(HERE / "stubtest_allowlist.txt"))
    assert out.returncode == 0, out.stdout


def _annotation(node, classes, module, param):
    """An annotation as pybind11 writes the type (List[float] parameters as list)."""
    import ast
    if isinstance(node, ast.Subscript):
        inner = getattr(node.slice, "value", node.slice)  # ast.Index before 3.9
        text = "%s[%s]" % (node.value.id, _annotation(inner, classes, module, False))
        return "list" if param and node.value.id == "List" else text
    name = node.id if isinstance(node, ast.Name) else repr(getattr(node, "value", None))
    return "%s.%s" % (module, name) if name in classes else name


def _stub_members(module):
    """(class or None, member, what): a def's signatures as pybind11 writes
    them into __doc__, or an attribute's type name."""
    import ast
    tree = ast.parse((HERE.parent / "python" / (module + ".pyi")).read_text("utf-8"))
    classes = {n.name for n in tree.body if isinstance(n, ast.ClassDef)}
    members = {}
    for owner, body in [(None, tree.body)] + [(n.name, n.body) for n in tree.body
                                               if isinstance(n, ast.ClassDef)]:
        for node in body:
            if isinstance(node, ast.AnnAssign):
                ann = node.annotation
                if isinstance(ann, ast.Subscript):  # ClassVar[...]
                    ann = getattr(ann.slice, "value", ann.slice)
                members[owner, node.target.id] = _annotation(ann, classes, module, False)
            elif isinstance(node, ast.FunctionDef):
                if node.decorator_list and getattr(node.decorator_list[0], "id", "") == "property":
                    members[owner, node.name] = _annotation(node.returns, classes, module, False)
                    continue
                params = ["self: %s.%s" % (module, owner) if a.arg == "self" else "%s: %s" % (
                    a.arg.lstrip("_"), _annotation(a.annotation, classes, module, True))
                    for a in node.args.args]
                members.setdefault((owner, node.name), set()).add("%s(%s) -> %s" % (
                    node.name, ", ".join(params), _annotation(node.returns, classes, module, False)))
    return members


@pytest.mark.parametrize("name", ["curvix", "planix"])
def test_stub_signatures_are_the_generated_ones(name):
    # stubtest cannot see the parameters of a pybind11 function (it has no
    # inspectable signature): they are compared with the generated docstrings,
    # attribute types with the values of a default-constructed instance.
    module = importlib.import_module(name)
    for (owner, member), stated in _stub_members(name).items():
        cls = getattr(module, owner) if owner else None
        obj = getattr(cls or module, member)
        if isinstance(stated, set):
            lines = obj.__doc__.splitlines()
            generated = {line.split(". ", 1)[1] for line in lines if line[:1].isdigit()}
            assert stated == (generated or {lines[0]}), (owner, member)
        else:
            value = obj if member in vars(cls) and not isinstance(
                vars(cls)[member], property) else getattr(cls(), member)
            assert type(value).__name__ == ("NoneType" if stated == "None"
                                            else stated.rsplit(".", 1)[-1]), (owner, member)


@pytest.mark.parametrize("target", ["examples", "package"])
def test_examples_and_package_type_check(tmp_path, target):
    # curvixkit must be found typed (py.typed); of the third-party imports
    # only these may come without types. Untyped functions are checked too.
    (tmp_path / "mypy.ini").write_text(
        "[mypy]\ncheck_untyped_defs = True\n[mypy-lxml.*,ezdxf.*,dask.*,matplotlib.*,laspy.*,"
        "pyarrow.*,tqdm.*,distributed.*,ifcopenshell.*]\n"
        "ignore_missing_imports = True\n")
    args = (sorted(str(p) for p in EXAMPLES.glob("*.py")) if target == "examples"
            else ["-p", "curvixkit"])
    out = _mypy(tmp_path, "mypy", "--config-file", str(tmp_path / "mypy.ini"), "--no-incremental",
                *args)
    assert out.returncode == 0, out.stdout


def _public_names():
    import pkgutil
    import curvixkit
    for name in ["curvixkit"] + [m.name for m in pkgutil.walk_packages(
            curvixkit.__path__, "curvixkit.") if not m.name.rpartition(".")[2].startswith("_")]:
        module = importlib.import_module(name)
        yield name, module
        names = getattr(module, "__all__", None) or [
            k for k, v in vars(module).items()
            if not k.startswith("_") and getattr(v, "__module__", None) == name]
        for k in names:
            obj = getattr(module, k)
            if not (inspect.isclass(obj) or inspect.isroutine(obj)):
                continue
            yield "%s.%s" % (name, k), obj
            if inspect.isclass(obj):
                fields = getattr(obj, "_fields", ())
                for member, value in vars(obj).items():
                    if not member.startswith("_") and member not in fields:
                        yield "%s.%s.%s" % (name, k, member), getattr(value, "__func__", value)


def test_every_public_name_has_its_own_docstring():
    missing = []
    for name, obj in _public_names():
        doc = inspect.getdoc(obj) or ""
        # A namedtuple left undocumented carries its generated "Name(a, b)".
        if not doc.strip() or doc.startswith(getattr(obj, "__name__", "?") + "("):
            missing.append(name)
    assert missing == []


def test_every_reader_and_writer_takes_a_pathlib_path(tmp_path):
    a = Alignment.from_icd(EXAMPLES / "railway_10km.icd")
    a.to_landxml(tmp_path / "a.xml")
    a.to_icd(tmp_path / "a.icd")
    landxml.write_landxml(a.elements, a.start_station, tmp_path / "b.xml")
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no station equations here, so no warning
        icd.write_icd(a.elements, a.start_station, tmp_path / "b.icd")
    read = [Alignment.from_icd(tmp_path / "a.icd"), Alignment.read(tmp_path / "b.icd"),
            Alignment.from_landxml(tmp_path / "a.xml"), Alignment.read(tmp_path / "b.xml")]
    assert {len(a) for a in read} == {len(landxml.read_landxml(tmp_path / "b.xml").elements)}
    assert Alignment.landxml_names(tmp_path / "a.xml") == landxml.landxml_names(
        tmp_path / "b.xml") == ["alignment"]


def test_returned_values_have_a_repr_of_their_own():
    a = Alignment.from_landxml(EXAMPLES / "station_equation.xml")
    for value in [a, a.stations, a.stations.regions[0], a.stations.equations[0], a.units,
                  a.diagnostics(), a.elements[0], a.locate((0.0, 0.0)),
                  a.crossings([(0.0, 0.0), (1.0, 1.0)]), landxml.read_landxml(a.path).stated[0]]:
        text = repr(value)
        assert " object at 0x" not in text and text.startswith(("<", type(value).__name__))


def test_type_checker_reads_the_query_types(tmp_path):
    # One mypy run: the lines marked "error" must be flagged and no others.
    code = ["from curvixkit import Alignment",
            "a = Alignment.from_icd('x.icd')",
            "a.point('abc')  # error: text is no station",
            "a.locate((1.0, 2.0)).query  # error: the nearest point has no query column",
            "a.locate((1.0, 2.0), all=True).query",
            "a.locate((1.0, 2.0)).beyond",
            "a.point([1.0, 2.0], offsets=3.5)"]
    (tmp_path / "use.py").write_text("\n".join(code) + "\n")
    out = _mypy(tmp_path, "mypy", "--no-incremental", "use.py")
    flagged = sorted({int(line.split(":")[1]) for line in out.stdout.splitlines()
                      if line.startswith("use.py:") and ": error:" in line})
    assert flagged == [i + 1 for i, line in enumerate(code) if "# error" in line], out.stdout
