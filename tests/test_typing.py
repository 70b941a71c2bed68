"""The stub matches the built module, and a strictly typed caller type-checks and runs."""

import subprocess
import sys
from pathlib import Path

import pytest

from zavrik.skills import packaging

ROOT = Path(__file__).resolve().parents[1]


def _run(*args, cwd=ROOT):
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True)


@pytest.mark.parametrize(
    "command",
    [
        ["mypy", "--strict", "--no-incremental", "tests/typing_caller.py", "zavrik/skills/cli.py"],
        ["mypy.stubtest", "zavrik.skills.packaging"],
    ],
    ids=["mypy-strict-caller", "stubtest"],
)
def test_stub_and_caller_type_check(command):
    result = _run(*command)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_and_marker_ship_beside_the_module():
    here = Path(packaging.__file__).parent
    assert (here / "packaging.pyi").is_file() and (here / "py.typed").is_file()


def test_typed_caller_runs_on_real_templates(tmp_path):
    sys.path.insert(0, str(ROOT / "tests"))
    try:
        import typing_caller
    finally:
        sys.path.remove(str(ROOT / "tests"))
    typing_caller.use_every_function(packaging.get_builtin_templates_dir(), tmp_path)
