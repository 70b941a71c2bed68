"""The stub matches the built module, and a strictly typed caller type-checks and runs."""

import os
import site
import subprocess
import sys
from pathlib import Path

import pytest

from zavrik.skills import packaging

ROOT = Path(__file__).resolve().parents[1]
# Where the module under test was imported from (the checkout, a copy of it,
# or site-packages for an installed wheel): stubtest must check that build,
# not the `zavrik` of the working directory, which may hold no compiled module.
IMPORTED_FROM = Path(packaging.__file__).resolve().parents[2]


def _run(*args):
    path = [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    if str(IMPORTED_FROM) not in site.getsitepackages():
        # Not installed (a build in place): found through PYTHONPATH. An
        # installed one is found anyway, and mypy refuses site-packages there.
        path.insert(0, str(IMPORTED_FROM))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    return subprocess.run([sys.executable, "-P", "-m", *args], cwd=ROOT / "tests", env=env,
                          capture_output=True, text=True)


@pytest.mark.parametrize(
    "command",
    [
        ["mypy", "--strict", "--no-incremental", "-m", "typing_caller", "-m", "zavrik.skills.cli",
         "-m", "zavrik.skills._release"],
        ["mypy.stubtest", "zavrik.skills.packaging"],
        ["mypy.stubtest", "zavrik.skills._engine"],
    ],
    ids=["mypy-strict-caller", "stubtest", "stubtest-engine"],
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
