"""The shipped stub as type checkers meet it: installed with the module,
agreeing with the module that is imported (stubtest), accepting a program
that uses every class and rejecting misuses (mypy --strict). Needs no CAN
interface; mypy comes with the test environment (scripts/python-env)."""

import ast
import collections
import inspect
import pathlib
import re
import subprocess
import sys
import sysconfig

import pytest

import jointbus

HERE = pathlib.Path(__file__).parent
EXAMPLES = HERE / "typing"
SHIPPED_STUB = HERE.parents[1] / "src" / "python" / "jointbus.pyi"
SITE_PACKAGES = pathlib.Path(sysconfig.get_paths()["platlib"])


@pytest.fixture(scope="session")
def run_in_empty_directory(tmp_path_factory):
    """Runs `python -m ARGS...` where no configuration or stray stub of the
    tree can apply."""
    workdir = tmp_path_factory.mktemp("cwd")
    return lambda *args: subprocess.run([sys.executable, "-m", *args], cwd=workdir, capture_output=True, text=True,
                                        timeout=600)


@pytest.fixture(scope="session")
def mypy(run_in_empty_directory, tmp_path_factory):
    cache = tmp_path_factory.mktemp("mypy-cache")
    return lambda *args: run_in_empty_directory("mypy", "--strict", "--cache-dir", str(cache), *args)


def test_stub_is_installed_beside_the_module_and_as_a_stub_package():
    shipped = SHIPPED_STUB.read_text()
    assert list(SITE_PACKAGES.glob("jointbus.cpython-*.so"))
    assert (SITE_PACKAGES / "jointbus.pyi").read_text() == shipped
    assert (SITE_PACKAGES / "jointbus-stubs" / "__init__.pyi").read_text() == shipped
    assert (SITE_PACKAGES / "py.typed").read_bytes() == b""


def test_stubtest_finds_no_difference_from_the_module(run_in_empty_directory):
    result = run_in_empty_directory("mypy.stubtest", "jointbus")
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith("Success"), result.stdout


def test_program_using_every_class_passes_strict_checking(mypy):
    result = mypy(str(EXAMPLES / "uses_every_class.py"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_stub_mypy_reads_is_the_installed_one(mypy):
    # Without site-packages nothing else provides it.
    result = mypy("--no-site-packages", str(EXAMPLES / "uses_every_class.py"))
    assert result.returncode == 1
    assert 'Cannot find implementation or library stub for module named "jointbus"' in result.stdout


def test_misuses_are_rejected_on_exactly_their_lines(mypy):
    path = EXAMPLES / "misuses_the_api.py"
    expected = collections.Counter()
    for number, line in enumerate(path.read_text().splitlines(), start=1):
        if match := re.search(r"# E: ([a-z-]+)$", line):
            expected[(number, match[1])] += 1
    result = mypy(str(path))
    reported = collections.Counter(
        (int(match[1]), match[2])
        for match in re.finditer(r"^[^:\n]+:(\d+): error: .*\[([a-z-]+)\]$", result.stdout, re.MULTILINE))
    assert result.returncode == 1, result.stdout + result.stderr
    assert reported == expected, result.stdout
    [line] = [number for number, _ in expected if 'Damiao("1", 2)' in path.read_text().splitlines()[number - 1]]
    assert f'misuses_the_api.py:{line}: error: Argument 1 to "Damiao" has incompatible type "str"; expected "int"' \
        in result.stdout


def stub_docstrings():
    """(owner, name, docstring) of every definition in the stub."""
    tree = ast.parse(SHIPPED_STUB.read_text())
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield None, node.name, ast.get_docstring(node)
        elif isinstance(node, ast.ClassDef):
            yield None, node.name, ast.get_docstring(node)
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and item.name != "__new__":
                    is_property = any(isinstance(d, ast.Name) and d.id == "property" for d in item.decorator_list)
                    if not is_property:
                        yield node.name, item.name, ast.get_docstring(item)


def test_stub_docstrings_read_back_as_the_modules():
    checked = 0
    for owner, name, doc in stub_docstrings():
        runtime = getattr(getattr(jointbus, owner), name) if owner else getattr(jointbus, name)
        if doc is not None:
            checked += 1
            assert doc == runtime.__doc__, (owner, name)
        elif owner is not None and not name.startswith("__"):
            assert not runtime.__doc__, (owner, name)  # a method documented at run time is documented here
    assert checked == 8


def test_stub_lists_what_the_module_exports():
    tree = ast.parse(SHIPPED_STUB.read_text())
    [exports] = [node.value for node in tree.body
                 if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["__all__"]]
    assert ast.literal_eval(exports) == jointbus.__all__
    defined = [node.name for node in tree.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))]
    # What came later stays out of __all__, so a star import gives what it always gave.
    assert defined == [name for name in jointbus.__all__ if not name.startswith("__")] + ["cycle"]
    assert "cycle" not in jointbus.__all__ and callable(jointbus.cycle)
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            assert [d.id for d in node.decorator_list] == ["final"], node.name
            assert inspect.isclass(getattr(jointbus, node.name))
