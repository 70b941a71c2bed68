"""Threads and interpreters. Threads calling every function at once, each on
its own tree, get what one thread gets (the native walks release the GIL);
the module refuses a second interpreter of the process with its ImportError
and keeps working in the first."""

import os
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from conftest import PosixPath, SubPath
from subinterp import PRELUDE
import zavrik.skills.packaging as pk

CHECKOUT = Path(pk.__file__).resolve().parents[2]
THREADS, ROUNDS = 4, 15
TREE = {
    "manifest.json": {"default": {"wheel": True}, "skills": {
        "a": {"binary": True, "binary_full": True, "reason": "r", "tier": "t"},
        "b": {"source": True, "reason": "", "tier": "t"}, "gone": {}}},
    "a/SKILL.md": "", "a/data/VERSION.json": "", "a/x.pyc": "", "a/__pycache__/c.pyc": "",
    "a/deep/er/f.txt": "", "b/g.txt": "", "b/.DS_Store": "", "c/h.pyo": "",
}


def every_function(root, scratch, cls, mktree):
    """The answer of every function for a tree (paths made relative to it)."""
    r = cls(root)

    def rel(value):
        return repr(value).replace(str(root), "<root>").replace(str(scratch), "<scratch>")

    out = {
        "central": rel(pk.get_central_skills_dir()),
        "builtin": rel(pk.get_builtin_templates_dir()),
        "load": rel(pk.load_release_manifest(r)),
        "list": rel(pk.list_template_dirs(r)),
        "current": pk.current_profile(),
        "key": pk._profile_key("binary-full", "binary"),
        "validate": rel(pk.validate_release_manifest(r)),
        "packable": [pk._is_packable_file(r / p) for p in ("a/SKILL.md", "a/x.pyc", "a", "nothing")],
    }
    for profile, artifact in [("dev", "x"), ("python-release", "wheel"), ("binary-full", "binary")]:
        out["allowed", profile] = [pk.skill_allowed(n, profile=profile, artifact=artifact, templates_dir=r)
                                   for n in ("a", "b", "c")]
        out["selected", profile] = pk.selected_skill_names(profile=profile, artifact=artifact, templates_dir=r)
        out["collect", profile] = rel(pk.collect_skill_datas(
            profile=None if profile == "python-release" else profile, templates_dir=r))
        target = mktree(scratch / "prune", TREE)
        out["prune", profile] = pk.prune_templates_dir(cls(target), profile=profile, artifact=artifact,
                                                       manifest_templates_dir=r)
        out["pruned", profile] = sorted(str(p.relative_to(target)) for p in target.rglob("*"))
        pk._remove_tree(cls(target))
    swept = mktree(scratch / "sweep", TREE)
    pk._remove_packaging_junk(cls(swept))
    out["swept"] = sorted(str(p.relative_to(swept)) for p in swept.rglob("*"))
    pk._remove_tree(cls(swept))
    out["removed"] = swept.exists()
    try:
        pk.selected_skill_names(profile="nightly", artifact="binary", templates_dir=r)
    except pk.SkillReleaseManifestError as e:
        out["error"] = str(e)
    return out


@pytest.fixture
def quick_switches():
    """Thread switches as often as the interpreter allows."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_threads_on_separate_trees_agree_with_one_thread(tmp_path, mktree, path_cls, monkeypatch,
                                                         quick_switches):
    monkeypatch.setenv("ZAVRIK_CENTRAL_SKILLS_DIR", "~/central")
    monkeypatch.setenv("ZAVRIK_BUILTIN_TEMPLATES_DIR", str(tmp_path / "builtin"))
    baseline = every_function(mktree(tmp_path / "one", TREE), tmp_path / "one-scratch", path_cls, mktree)
    start = threading.Barrier(THREADS)
    found = {}

    def worker(i):
        root = mktree(tmp_path / f"t{i}", TREE)
        start.wait()
        try:
            found[i] = [every_function(root, tmp_path / f"s{i}", path_cls, mktree) for _ in range(ROUNDS)]
        except Exception as e:  # noqa: BLE001 - reported below
            found[i] = e

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i in range(THREADS):
        assert not isinstance(found[i], Exception), found[i]
        assert all(answer == baseline for answer in found[i]), i


# --- interpreters --------------------------------------------------------------------------

def run_isolated(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(CHECKOUT)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    done = subprocess.run([sys.executable, "-c", code], cwd=CHECKOUT, env=env, capture_output=True,
                          text=True, timeout=60)
    return done.returncode, done.stdout, done.stderr


MESSAGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


def test_second_interpreter_is_refused_and_the_first_keeps_working():
    code = PRELUDE + f'''
import zavrik.skills.packaging as pk
for attempt in range(2):
    failure = run_in_new_interpreter("import zavrik.skills.packaging")
    print("refused" if failure == "ImportError: " + {MESSAGE!r} else failure)
import sys
del sys.modules["zavrik.skills.packaging"]
import zavrik.skills.packaging as again
print(again is pk, pk._profile_key("binary-full", "binary"), pk.current_profile())
'''
    rc, out, err = run_isolated(code)
    assert (rc, out.split("\n")) == (0, ["refused", "refused", "True binary_full dev", ""]), err


def test_module_first_imported_in_a_sub_interpreter_is_refused_in_the_main_one():
    code = PRELUDE + f'''
print(run_in_new_interpreter("import zavrik.skills.packaging as pk; pk._profile_key('dev', 'x')"))
try:
    import zavrik.skills.packaging
    print("imported twice")
except ImportError as e:
    print("refused" if str(e) == {MESSAGE!r} else e)
'''
    rc, out, err = run_isolated(code)
    assert (rc, out) == (0, "None\nrefused\n"), err
