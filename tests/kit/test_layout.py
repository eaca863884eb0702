"""The layers of the package, read from its sources: imports (those inside
functions too) form no circle, only the command line imports the command
line, and readers and writers import nothing above them."""
import ast

from conftest import REPO

PACKAGE = REPO / "python" / "curvixkit"
# What the readers and writers may not import: the public modules built on them.
ABOVE_IO = ("curvixkit.alignment", "curvixkit.design", "curvixkit.setting_out",
            "curvixkit.plot", "curvixkit.diagnostics", "curvixkit.points", "curvixkit.dask",
            "curvixkit.cli")


def _graph():
    names = {}
    for path in PACKAGE.rglob("*.py"):
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        names[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    graph = {}
    for name, path in names.items():
        deps = set()
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.ImportFrom) and (node.module or "").startswith("curvixkit"):
                for alias in node.names:
                    sub = "%s.%s" % (node.module, alias.name)
                    # A module imported from its package (the compiled _core too).
                    deps.add(sub if sub in names or alias.name.startswith("_") else node.module)
            elif isinstance(node, ast.Import):
                deps.update(a.name for a in node.names if a.name.startswith("curvixkit"))
        graph[name] = {d for d in deps if d != name}
    return graph


def test_imports_form_no_circle():
    graph = _graph()
    state, circles = {}, []

    def visit(node, path):
        state[node] = "open"
        for dep in sorted(graph.get(node, ())):
            if state.get(dep) == "open":
                circles.append(path[path.index(dep):] + [dep])
            elif dep not in state:
                visit(dep, path + [dep])
        state[node] = "done"

    for node in sorted(graph):
        if node not in state:
            visit(node, [node])
    assert circles == []


def test_only_the_command_line_imports_it_and_io_imports_nothing_above_it():
    graph = _graph()
    cli_users = {n for n, deps in graph.items() if any(d.startswith("curvixkit.cli") for d in deps)}
    assert {n for n in cli_users if not n.startswith("curvixkit.cli")} == {"curvixkit.__main__"}
    io_up = {(n, d) for n, deps in graph.items() if n.startswith("curvixkit.io")
             for d in deps if d.startswith(ABOVE_IO)}
    assert io_up == set()
