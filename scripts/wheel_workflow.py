#!/usr/bin/env python3
"""The wheel workflow's steps for one wheel, replayed here in fresh environments.

    python3 scripts/wheel_workflow.py [--work DIR]

1. Build the wheel with the build frontend for the Skill profile that
   .github/workflows/wheels.yml names in ZAVRIK_SKILL_PROFILE, as
   cibuildwheel builds it with that variable passed in, dated by the
   commit as the workflow dates it (SOURCE_DATE_EPOCH: the time of the
   checkout's last commit; one already in the environment is kept, for a
   copy of the checkout without git).
2. Install it into a new virtual environment with the test-requires of
   [tool.cibuildwheel] and nothing else.
3. Verify it with the command it installs, held to that profile, and check
   its contents with check-wheel-contents (from an environment of its own),
   as the workflow does before upload.
4. Copy the test-sources to a directory outside the checkout and run the
   test-command there, with the installed wheel's environment first on PATH
   and the profile variable set, as cibuildwheel's test step runs it.

Exit status 0 when every step passes. The work directory (default: a new
temporary one, removed at the end) holds the wheel, the environments and
the copied sources.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import tomllib
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
WORKFLOW = ROOT / ".github" / "workflows" / "wheels.yml"
PROFILE_ENV = "ZAVRIK_SKILL_PROFILE"


def workflow_profile() -> str:
    """The profile the workflow's top-level env names (the one place it is named)."""
    found = re.search(rf"^env:\n(?:[ \t]+.*\n)*?[ \t]+{PROFILE_ENV}:[ \t]*(\S+)", WORKFLOW.read_text(encoding="utf-8"), re.M)
    if not found:
        raise SystemExit(f"{WORKFLOW}: no {PROFILE_ENV} in the workflow's env")
    return found.group(1)


def source_date_epoch(root: Path = ROOT) -> str:
    """The time every member of the wheel carries: the environment's
    SOURCE_DATE_EPOCH, else the time of the checkout's last commit."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH", "").strip()
    if epoch:
        return epoch
    try:
        done = subprocess.run(
            ["git", "-C", str(root), "log", "-1", "--format=%ct"], capture_output=True, text=True, check=True
        )
    except (OSError, subprocess.CalledProcessError):
        raise SystemExit(
            f"wheel_workflow.py: error: {root} is not a git checkout and SOURCE_DATE_EPOCH is not set"
        ) from None
    return done.stdout.strip()


def release_env(root: Path = ROOT) -> dict[str, str]:
    """What a release build sees: the workflow's profile and date, and no other ZAVRIK_ setting."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("ZAVRIK_", "PYTHONPATH"))}
    env[PROFILE_ENV] = workflow_profile()
    env["SOURCE_DATE_EPOCH"] = source_date_epoch(root)
    return env


def build_wheel(source: Path, outdir: Path, env: dict[str, str]) -> Path:
    """The wheel of `source`, built by the build frontend into `outdir` (where it must be alone)."""
    run(sys.executable, "-m", "build", "--wheel", "--outdir", outdir, source, env=env, stdout=subprocess.DEVNULL)
    [wheel] = outdir.glob("*.whl")
    return wheel


def step(text: str) -> None:
    print(f"--- {text}", flush=True)


def run(*command: object, **kwargs: Any) -> None:
    subprocess.run([str(c) for c in command], check=True, **kwargs)


def venv(path: Path, *packages: object) -> Path:
    run(sys.executable, "-m", "venv", "--clear", path)
    bin_dir = path / ("Scripts" if os.name == "nt" else "bin")
    run(bin_dir / "python", "-m", "pip", "install", "-q", *packages)
    return bin_dir


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--work", type=Path, help="work directory (default: a temporary one)")
    args = parser.parse_args()
    settings = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["tool"]["cibuildwheel"]
    env = release_env()
    profile = env[PROFILE_ENV]

    with tempfile.TemporaryDirectory(prefix="zavrik-wheel-workflow-") as tmp:
        work = args.work.resolve() if args.work else Path(tmp)
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(parents=True)

        step(f"build the wheel for profile {profile}, dated {env['SOURCE_DATE_EPOCH']}")
        wheel = build_wheel(ROOT, work / "dist", env)
        print(wheel.name)

        step("install it with the test-requires alone")
        bin_dir = venv(work / "test-venv", wheel, *settings["test-requires"])

        step("verify it, and check its contents")
        run(bin_dir / "zavrik-skills", "verify", "--profile", profile, wheel, env=env)
        tools = venv(work / "tools-venv", "check-wheel-contents")
        run(tools / "check-wheel-contents", wheel, cwd=ROOT)

        step(f"the test step outside the checkout: {settings['test-command']}")
        sources = work / "test-cwd"
        for name in settings["test-sources"]:
            source = ROOT / name
            if source.is_dir():
                shutil.copytree(source, sources / name, ignore=shutil.ignore_patterns("__pycache__"))
            else:
                sources.mkdir(parents=True, exist_ok=True)
                shutil.copy2(source, sources / name)
        env["PATH"] = os.pathsep.join([str(bin_dir), env.get("PATH", "")])
        env["VIRTUAL_ENV"] = str(bin_dir.parent)
        done = subprocess.run(["sh", "-c", settings["test-command"]], cwd=sources, env=env)
        return done.returncode


if __name__ == "__main__":
    try:
        sys.exit(main())
    except subprocess.CalledProcessError as exc:
        print(f"wheel_workflow.py: error: {exc}", file=sys.stderr)
        sys.exit(1)
