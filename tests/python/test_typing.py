"""The type stubs: they match the runtime module (stubtest), they type-check
the examples under `mypy --strict`, they reject plain misuse, and the
version they and the package metadata state is the module's."""

import importlib.util
import os
import subprocess
import sys
import textwrap
import tomllib
from pathlib import Path

import pytest

import Vorlane

ROOT = Path(__file__).resolve().parents[2]
ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")
EXAMPLES = [ROOT / "examples" / name for name in ("game_world.py", "order_book.py", "catalogue.py")]

needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed (it is in the 'test' extra)"
)
# The checks read the stub, not the module's memory: under the sanitizers
# they would only run mypy itself with the asan runtime preloaded.
not_sanitized = pytest.mark.skipif(
    bool(os.environ.get("VORLANE_SANITIZED")), reason="type checks are not run in sanitized builds"
)


def run_mypy_tool(args, cwd):
    """Runs a mypy entry point in `cwd` (where any cache it writes stays),
    with the working tree's stub first on the search path, so an edited stub
    is checked without reinstalling the package."""
    env = dict(os.environ, MYPYPATH=str(ROOT))
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=300
    )


@needs_mypy
@not_sanitized
class TestStubs:
    def test_stub_matches_the_runtime_module(self, tmp_path):
        # The allow-list is strict: an entry the runtime comes to express
        # makes this fail, so the list only ever names real gaps.
        result = run_mypy_tool(
            ["mypy.stubtest", "Vorlane", "--allowlist", str(ALLOWLIST)], tmp_path
        )
        assert result.returncode == 0, result.stdout + result.stderr

    def test_examples_pass_mypy_strict(self, tmp_path):
        result = run_mypy_tool(
            ["mypy", "--strict", *map(str, EXAMPLES)], tmp_path
        )
        assert result.returncode == 0, result.stdout + result.stderr

    def test_misuse_is_rejected(self, tmp_path):
        program = tmp_path / "misuse.py"
        program.write_text(textwrap.dedent("""
            from Vorlane import FilteredIndex, Index, Indexable, PyQueryExpr as Q
            index = Index()
            index.add_object(5)
            index.add_object_many([Indexable(), 1])
            index.reduced_query("size > 3")
            view: FilteredIndex = index.reduced(size=3)
            view.rebase().union_with(view)
            Q.and_(Q.eq("size", 1), "x")
            Q.eq(1, 2)
            Index(3)
        """))
        result = run_mypy_tool(["mypy", "--strict", str(program)], tmp_path)
        lines = [line for line in result.stdout.splitlines() if ": error:" in line]
        assert sorted({int(line.split(":")[1]) for line in lines}) == [4, 5, 6, 8, 9, 10, 11], result.stdout

    def test_results_are_typed(self, tmp_path):
        program = tmp_path / "typed.py"
        program.write_text(textwrap.dedent("""
            from Vorlane import Index, Indexable, PyQueryExpr as Q, sum_as_string
            index = Index()
            reveal_type(index.collect())
            reveal_type(index.get_by_attribute(size=[1, 2]))
            reveal_type(index.reduced_query(Q.not_(Q.gt("size", 1))))
            reveal_type(index.reduced().reduced(a=1).rebase())
            reveal_type(Indexable(size=3).size)
            reveal_type(sum_as_string(1, 2))
            class Order(Indexable): ...
            orders: Index[Order] = Index()
            reveal_type(orders.reduced_query(Q.eq("side", "buy") & ~Q.gt("qty", 9)).collect())
            reveal_type(orders.columns("qty", default=0))
        """))
        result = run_mypy_tool(["mypy", "--strict", str(program)], tmp_path)
        revealed = [
            line.split("Revealed type is ")[1].replace("builtins.", "")
            for line in result.stdout.splitlines()
            if "Revealed type" in line
        ]
        assert revealed == [
            '"list[Vorlane.Indexable]"',
            '"list[Vorlane.Indexable]"',
            '"Vorlane.FilteredIndex[Vorlane.Indexable]"',
            '"Vorlane.Index[Vorlane.Indexable]"',
            '"Any"',
            '"str"',
            '"list[typed.Order]"',
            '"dict[str, list[Any]]"',
        ], result.stdout


class TestVersion:
    def test_module_version_is_the_package_version(self):
        with open(ROOT / "pyproject.toml", "rb") as f:
            project = tomllib.load(f)["project"]
        assert Vorlane.__version__ == project["version"]

    def test_stub_declares_the_version(self):
        assert "__version__: str" in (ROOT / "Vorlane.pyi").read_text()


class TestInstalledFiles:
    def test_stub_and_marker_sit_beside_an_installed_module(self):
        folder = Path(Vorlane.__file__).parent
        if folder.name != "site-packages":
            pytest.skip(f"the module is not installed but loaded from {folder}")
        assert (folder / "Vorlane.pyi").is_file()
        assert (folder / "py.typed").is_file()
        assert (folder / "Vorlane-stubs" / "__init__.pyi").is_file()

    @needs_mypy
    @not_sanitized
    def test_mypy_finds_the_installed_stub(self, tmp_path):
        if Path(Vorlane.__file__).parent.name != "site-packages":
            pytest.skip("the module is not installed")
        program = tmp_path / "uses.py"
        program.write_text("from Vorlane import Index\nreveal_type(Index().collect())\n")
        env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
        result = subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", str(program)],
            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
        )
        assert "list[Vorlane.Indexable]" in result.stdout, result.stdout
