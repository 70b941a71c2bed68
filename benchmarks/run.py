"""Benchmark of zavrik.skills.packaging against a pure-Python baseline and the floor.

    python3 benchmarks/run.py [--sizes typical,large] [--json out.json] [--repeat N] [--clock wall|cpu]

For each generated tree and public operation it times, side by side in one
run and as medians of --repeat runs,

- the module (`zavrik.skills.packaging`, built in place),
- the baseline (`benchmarks/baseline.py`: the same rules in plain Python on
  pathlib), whose results must be identical to the module's: same lists,
  same pairs, and for the destructive operations the same resulting tree,
- the floor (`benchmarks/floor.cpp`, compiled on first use): only the system
  calls the operation needs, no Python objects; for `selected_skill_names`
  and `validate_release_manifest` the floor program's reads plus
  `json.loads` of the same manifest, and for `skill_allowed` a C function of
  the same signature doing the same dictionary lookups, the two in the
  module's namespace included (`benchmarks/allowed_floor.c`, built on first
  use),

and prints module/baseline and module/floor, marks every operation whose
module/floor is above its target, and, when several of the large sizes ran,
how the cost per file grows with the tree. Module, baseline and floor take
turns in every round so that they share the machine's noise (the floor
program's startup is not timed); in each turn every side makes the same
number of back-to-back runs of an operation that leaves the tree alone and
counts their median; the garbage collector is off while a run is timed;
destructive operations work on a fresh copy of the tree each run, and the
copying is not timed.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import os
import platform
import random
import shutil
import importlib.util
import inspect
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(REPO))
sys.path.insert(0, str(HERE))

import baseline  # noqa: E402
import zavrik.skills.packaging as module  # noqa: E402

FLOOR_SOURCE = HERE / "floor.cpp"
ALLOWED_FLOOR_SOURCE = HERE / "allowed_floor.c"
CACHE = Path(os.environ.get("XDG_CACHE_HOME", Path.home() / ".cache")) / "zavrik-benchmarks"


@dataclass(frozen=True)
class Shape:
    skills: int
    files: int  # packable files per Skill
    nested: bool
    junk: bool = True


# The large shape at three sizes shows how the costs grow with the tree.
SHAPES = {
    "typical": Shape(skills=50, files=20, nested=False),
    "large/4": Shape(skills=500, files=50, nested=True),
    "large/2": Shape(skills=1000, files=50, nested=True),
    "large": Shape(skills=2000, files=50, nested=True),
}
LINEAR_SIZES = ("large/4", "large/2", "large")

PROFILE, ARTIFACT = "python-release", "wheel"  # restricted: about half the Skills pass

OPERATIONS = (
    "list_template_dirs", "selected_skill_names", "skill_allowed", "collect_skill_datas",
    "validate_release_manifest", "_remove_packaging_junk", "prune_templates_dir", "_remove_tree",
)

# The most module/floor may be for each operation.
TARGETS = {
    "list_template_dirs": 1.3,
    "selected_skill_names": 1.3,  # against json.loads of the manifest + the floor's listing
    "skill_allowed": 1.3,  # against a C function of the same signature
    "collect_skill_datas": 1.2,
    "validate_release_manifest": 1.3,  # against json.loads of the manifest + the floor's walk
    "_remove_packaging_junk": 1.3,
    "prune_templates_dir": 1.3,
    "_remove_tree": 1.3,
}
# Prune's cost per file should stay flat across the large sizes: the ratio of
# the largest tree's ns per file to the smallest's is marked above this.
FLAT = 1.15
OVER = "<<< OVER"
# The operations that take milliseconds or less in process are timed at
# least this many times: their medians are otherwise at the mercy of a
# shared machine's noise.
QUICK_REPEAT = 15
# Back-to-back runs in each turn (median) for the operations that leave the
# tree alone, the module's, the baseline's and the floor's alike; a
# destructive one runs once per fresh copy.
FLOOR_INNER = 3


# --- trees ---------------------------------------------------------------------


def _skill_name(rng: random.Random, i: int) -> str:
    # Mostly lower case, some capitalised and some with underscores, so that
    # the code-point order is exercised.
    stem = rng.choice(["review", "notes", "migrate", "Debug", "writer", "lint", "_infra", "Zeta"])
    return f"{stem}-{i:05d}"


SUBDIRS = ["prompts", "data", "docs/guide", "docs/reference", "assets/img", "lib/helpers"]


def _skill_files(rng: random.Random, shape: Shape) -> list[str]:
    files = ["SKILL.md", "data/VERSION.json", ".skillrc"]
    dirs = SUBDIRS if shape.nested else ["prompts", "data"]
    k = 0
    while len(files) < shape.files:
        where = rng.choice(dirs + [""])
        ext = rng.choice([".md", ".txt", ".py", ".json"])
        files.append(f"{where}/f{k:03d}{ext}".lstrip("/"))
        k += 1
    return files


def _junk(rng: random.Random, files: list[str]) -> list[str]:
    dirs = sorted({f.rsplit("/", 1)[0] for f in files if "/" in f})
    junk = [".DS_Store"]
    for d in rng.sample(dirs, min(len(dirs), 2)):
        junk += [f"{d}/__pycache__/m.cpython-311.pyc", f"{d}/__pycache__/n.cpython-311.pyc"]
    if rng.random() < 0.3:
        junk.append("lib/helpers/__pycache__/inner/__pycache__/deep.pyc")  # nested caches
    if rng.random() < 0.5:
        junk += ["stray.pyc", "data/old.pyo", f"{rng.choice(dirs) if dirs else 'data'}/.DS_Store"]
    return junk


def generate(root: Path, shape: Shape, seed: int) -> dict:
    """Writes a templates tree and returns what the floor needs to know about it."""
    rng = random.Random(seed)
    root.mkdir(parents=True)
    manifest: dict = {
        "default": {"source": True, "wheel": False, "binary": False, "binary_full": True},
        "skills": {},
    }
    for i in range(shape.skills):
        name = _skill_name(rng, i)
        files = _skill_files(rng, shape)
        # A few release-admitted Skills lack one of the two required files.
        if rng.random() < 0.02:
            files.remove(rng.choice(["SKILL.md", "data/VERSION.json"]))
        for rel in files + (_junk(rng, files) if shape.junk else []):
            path = root / name / rel
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(f"{name}/{rel}\n" * rng.randint(1, 8), encoding="utf-8")
        if rng.random() < 0.03:
            continue  # an undeclared directory
        entry = {"tier": rng.choice(["core", "extended", "experimental"]), "reason": f"ships {name}"}
        for key in ("source", "wheel", "binary", "binary_full"):
            if rng.random() < 0.8:
                entry[key] = rng.random() < 0.5
        if rng.random() < 0.02:
            entry["reason"] = "  "
        manifest["skills"][name] = entry
    for i in range(max(1, shape.skills // 100)):
        manifest["skills"][f"stale-{i}"] = {"tier": "core", "reason": "gone", "wheel": True}
    (root / "manifest.json").write_text(json.dumps(manifest, indent=2), encoding="utf-8")
    return manifest


def file_count(root: Path) -> int:
    return sum(len(files) for _, _, files in os.walk(root))


def copy_tree(src: Path, dst: Path) -> Path:
    subprocess.run(["cp", "-r", str(src), str(dst)], check=True)
    return dst


def drop_tree(path: Path) -> None:
    if path.exists() or path.is_symlink():
        subprocess.run(["rm", "-rf", str(path)], check=True)


def snapshot(root: Path) -> list[tuple]:
    """Relative path, kind, link target or content of everything below root."""
    out = []
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = Path(dirpath, name)
            rel = str(path.relative_to(root))
            if path.is_symlink():
                out.append((rel, "link", os.readlink(path)))
            elif path.is_dir():
                out.append((rel, "dir", None))
            else:
                out.append((rel, "file", path.read_bytes()))
    return sorted(out)


# --- timing --------------------------------------------------------------------


# Wall time by default; --clock cpu times the process's CPU time instead (user
# and system, the floor's too), which other programs on a shared machine
# disturb less.
CLOCK = time.perf_counter_ns


def timed(call, inner: int = 1) -> tuple[int, object]:
    """The median of `inner` back-to-back runs of `call`, and its last result.

    The operations that leave the tree alone are given FLOOR_INNER runs per
    turn, as the floor program times its own: every side then starts its turn
    after the others' work, and has the same runs to warm up in."""
    gc.collect()
    gc.disable()
    try:
        times = []
        for _ in range(inner):
            start = CLOCK()
            result = call()
            times.append(CLOCK() - start)
    finally:
        gc.enable()
    return int(statistics.median(times)), result


def side_by_side(repeat: int, run_module, run_baseline, check, others=None):
    """Medians of interleaved runs; `check(module_result, baseline_result)` on the first.

    `others` maps further names (an in-process floor) to (run, check or None):
    they take their turns in the same rotation, and a check given is applied
    to their first result against the baseline's. The result is the module's
    and the baseline's medians, followed by the others' in the order given.
    """
    others = others or {}
    runs = {"module": run_module, "baseline": run_baseline, **{k: v[0] for k, v in others.items()}}
    names = list(runs)
    times = {who: [] for who in names}
    for i in range(repeat):
        order = names[i % len(names):] + names[:i % len(names)]
        if i % 2:
            order.reverse()
        results = {}
        for who in order:
            elapsed, results[who] = runs[who]()
            times[who].append(elapsed)
        if i == 0:
            check(results["module"], results["baseline"])
            for who, (_, check_other) in others.items():
                if check_other:
                    check_other(results[who], results["baseline"])
    medians = tuple(int(statistics.median(times[who])) for who in names)
    return medians if others else medians[:2]


def same(what: str):
    def check(got, want):
        if got != want:
            raise AssertionError(f"{what}: the module and the baseline disagree")

    return check


# --- the floor -----------------------------------------------------------------


def build_floor() -> Path:
    source = FLOOR_SOURCE.read_bytes()
    binary = CACHE / f"floor-{hashlib.sha256(source).hexdigest()[:16]}"
    if not binary.exists():
        CACHE.mkdir(parents=True, exist_ok=True)
        tmp = binary.with_suffix(".tmp")
        subprocess.run(
            ["g++", "-O2", "-std=c++17", "-Wall", "-Wextra", "-o", str(tmp), str(FLOOR_SOURCE)],
            check=True,
        )
        tmp.replace(binary)
    return binary


def build_allowed_floor():
    """The C floor of skill_allowed, compiled for this interpreter and imported."""
    source = ALLOWED_FLOOR_SOURCE.read_bytes()
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    digest = hashlib.sha256(source + suffix.encode() + sys.version.encode()).hexdigest()[:16]
    library = CACHE / f"allowed-floor-{digest}{suffix}"
    if not library.exists():
        CACHE.mkdir(parents=True, exist_ok=True)
        tmp = library.with_name(library.name + ".tmp")
        compiler = sysconfig.get_config_var("CC") or "gcc"
        subprocess.run(
            [*compiler.split()[:1], "-O2", "-shared", "-fPIC", "-Wall", "-Wextra",
             f"-I{sysconfig.get_paths()['include']}", "-o", str(tmp), str(ALLOWED_FLOOR_SOURCE)],
            check=True,
        )
        tmp.replace(library)
    spec = importlib.util.spec_from_file_location("_allowed_floor", library)
    floor_module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(floor_module)
    # The same parameters, so that the call binds the same way.
    shape = [(p.name, p.kind, p.default) for p in inspect.signature(module.skill_allowed).parameters.values()]
    ours = [(p.name, p.kind, p.default) for p in inspect.signature(floor_module.skill_allowed).parameters.values()]
    if shape != ours:
        raise AssertionError(f"the skill_allowed floor's parameters {ours} differ from the module's {shape}")
    return floor_module


def floor(binary: Path, *args) -> dict:
    out = subprocess.run([str(binary), *map(str, args)], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def names_file(work: Path, label: str, names) -> Path:
    path = work / f"{label}.names"
    path.write_text("".join(f"{n}\n" for n in names), encoding="utf-8")
    return path


# --- one tree ------------------------------------------------------------------


def bench_tree(
    label: str, shape: Shape, work: Path, repeat: int, binary: Path, allowed_floor, seed: int,
    only: set[str] | None = None,
) -> dict:
    src = work / f"{label.replace('/', '_')}-src"
    progress(f"{label}: generating {shape.skills} Skills")
    manifest = generate(src, shape, seed)
    files = file_count(src)
    skills = [p.name for p in sorted(src.iterdir()) if p.is_dir()]
    rows: dict[str, dict] = {}
    tag = label.replace("/", "_")
    quick = max(repeat, QUICK_REPEAT)

    def wanted(op):
        return only is None or op in only

    def row(op, m, b, f=None, unit="ns", **extra):
        progress(f"{label}: {op} done")
        rows[op] = {"module_ns": m, "baseline_ns": b, "floor_ns": f, "unit": unit, **extra}

    def floor_check(op, expected):
        def check(got, _baseline_result):
            if got != expected:
                raise AssertionError(f"{label} {op}: floor counted {got}, module {expected}")

        return check

    def floor_run(op, *args):
        """The floor as one more turn in the rotation: a process that times
        FLOOR_INNER runs and reports their median (startup not timed)."""

        def run():
            f_ = floor(binary, op, FLOOR_INNER, *args)
            return f_["median_ns"], f_["count"]

        return run

    expected = len(module.list_template_dirs(src))
    if wanted("list_template_dirs"):
        m, b, f = side_by_side(
            quick,
            lambda: timed(lambda: module.list_template_dirs(src), FLOOR_INNER),
            lambda: timed(lambda: baseline.list_template_dirs(src), FLOOR_INNER),
            same("list_template_dirs"),
            {"floor": (floor_run("list", src), floor_check("list", expected))},
        )
        row("list_template_dirs", m, b, f)

    # selected_skill_names, restricted profile. Its floor is the floor's
    # manifest read and listing plus json.loads of the same manifest text,
    # timed here in turn with the module and the baseline.
    if wanted("selected_skill_names"):
        kw = dict(profile=PROFILE, artifact=ARTIFACT, templates_dir=src)
        text = (src / "manifest.json").read_text(encoding="utf-8")
        m, b, j, f = side_by_side(
            quick,
            lambda: timed(lambda: module.selected_skill_names(**kw), FLOOR_INNER),
            lambda: timed(lambda: baseline.selected_skill_names(**kw), FLOOR_INNER),
            same("selected_skill_names"),
            {
                "json.loads": (lambda: timed(lambda: json.loads(text), FLOOR_INNER), None),
                "floor": (floor_run("selected", src), floor_check("selected", expected)),
            },
        )
        row("selected_skill_names", m, b, f + j, json_loads_ns=j, listing_ns=f)

    # skill_allowed with a manifest dict, per call
    if wanted("skill_allowed"):
        loaded = module.load_release_manifest(src)
        calls = (skills * (1 + 20000 // max(1, len(skills))))[:20000]

        def allowed(impl):
            def run():
                f_ = impl.skill_allowed
                return [f_(n, profile=PROFILE, artifact=ARTIFACT, manifest=loaded) for n in calls]

            return lambda: timed(run)

        m, b, f = side_by_side(
            quick, allowed(module), allowed(baseline), same("skill_allowed"),
            {"floor": (allowed(allowed_floor), same("skill_allowed (floor)"))},
        )
        row("skill_allowed", m // len(calls), b // len(calls), f // len(calls), unit="ns/call")

    # collect_skill_datas (binary-minimal: the bundler's default)
    if wanted("collect_skill_datas"):
        admitted = module.selected_skill_names(profile="binary-minimal", artifact="binary", templates_dir=src)
        names = names_file(work, f"{tag}-collect", admitted)
        m, b, f = side_by_side(
            repeat,
            lambda: timed(lambda: module.collect_skill_datas(templates_dir=src), FLOOR_INNER),
            lambda: timed(lambda: baseline.collect_skill_datas(templates_dir=src), FLOOR_INNER),
            same("collect_skill_datas"),
            {"floor": (floor_run("collect", src, names),
                       floor_check("collect", len(module.collect_skill_datas(templates_dir=src))))},
        )
        row("collect_skill_datas", m, b, f)

    # validate_release_manifest
    if wanted("validate_release_manifest"):
        problems = module.validate_release_manifest(src)
        release = [
            n
            for n in skills
            if isinstance(manifest["skills"].get(n), dict)
            and any(manifest["skills"][n].get(k) for k in ("source", "wheel", "binary", "binary_full"))
        ]
        names = names_file(work, f"{tag}-validate", release)
        # As for selected_skill_names, the floor is the floor program's
        # system calls (it is handed the admitted names and decodes no JSON)
        # plus json.loads of the same manifest text, timed here in turn.
        text = (src / "manifest.json").read_text(encoding="utf-8")
        m, b, f, j = side_by_side(
            repeat,
            lambda: timed(lambda: module.validate_release_manifest(src), FLOOR_INNER),
            lambda: timed(lambda: baseline.validate_release_manifest(src), FLOOR_INNER),
            same("validate_release_manifest"),
            {"floor": (floor_run("validate", src, names),
                       floor_check("validate", sum("发版准入" in p for p in problems))),
             "json.loads": (lambda: timed(lambda: json.loads(text), FLOOR_INNER), None)},
        )
        row("validate_release_manifest", m, b, f + j, problems=len(problems), json_loads_ns=j,
            listing_ns=f)

    # The destructive operations, each run (the floor's too, in the same
    # rotation) on a fresh copy.
    def destructive(op, call, floor_args, floor_count=None):
        names = ("module", "baseline", "floor")
        times = {who: [] for who in names}
        for i in range(repeat):
            order = list(names[i % 3:] + names[:i % 3])
            if i % 2:
                order.reverse()
            results, copies = {}, {}
            for who in order:
                copies[who] = copy_tree(src, work / f"{tag}-{who}")
                if who == "floor":
                    f_ = floor(binary, *floor_args, copies[who])
                    elapsed, results[who] = f_["median_ns"], f_["count"]
                else:
                    impl = module if who == "module" else baseline
                    elapsed, results[who] = timed(lambda: call(impl, copies[who]))
                times[who].append(elapsed)
            if i == 0:
                same(op)(results["module"], results["baseline"])
                if floor_count is not None:
                    floor_check(op, floor_count)(results["floor"], None)
                if os.path.lexists(copies["module"]):
                    same(f"{op} (resulting tree)")(snapshot(copies["module"]), snapshot(copies["baseline"]))
            for copy in copies.values():
                drop_tree(copy)
        row(op, *(int(statistics.median(times[who])) for who in names))

    if wanted("_remove_packaging_junk"):
        destructive(
            "_remove_packaging_junk",
            lambda impl, copy: impl._remove_packaging_junk(copy),
            ["sweep"],
        )
    if wanted("prune_templates_dir"):
        kept = module.selected_skill_names(profile=PROFILE, artifact=ARTIFACT, templates_dir=src)
        destructive(
            "prune_templates_dir",
            lambda impl, copy: impl.prune_templates_dir(
                copy, profile=PROFILE, artifact=ARTIFACT, manifest_templates_dir=src
            ),
            ["prune", src, names_file(work, f"{tag}-prune", kept)],
            floor_count=len(kept),
        )
    if wanted("_remove_tree"):
        destructive("_remove_tree", lambda impl, copy: impl._remove_tree(copy), ["remove"])

    drop_tree(src)
    return {"skills": shape.skills, "files": files, "operations": rows}


# --- import --------------------------------------------------------------------

# The parent packages are imported first, untimed, for both: whichever
# implementation sits at zavrik.skills.packaging pays for them alike.
IMPORT_PROBE = (
    "import sys, time; sys.path[:0] = [{repo!r}, {here!r}]; import zavrik.skills; "
    "t = time.perf_counter_ns(); import {name}; print(time.perf_counter_ns() - t)"
)


def bench_import(repeat: int) -> dict:
    """`import` in a fresh interpreter, timed inside it, module vs baseline."""
    probes = {
        who: IMPORT_PROBE.format(repo=str(REPO), here=str(HERE), name=name)
        for who, name in (("module", "zavrik.skills.packaging"), ("baseline", "baseline"))
    }
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    times = {"module": [], "baseline": []}
    for i in range(max(repeat, 15)):
        for who in ("module", "baseline") if i % 2 == 0 else ("baseline", "module"):
            out = subprocess.run(
                [sys.executable, "-c", probes[who]], check=True, capture_output=True, text=True,
                env=env, cwd=tempfile.gettempdir(),
            )
            times[who].append(int(out.stdout))
    return {
        "module_ns": int(statistics.median(times["module"])),
        "baseline_ns": int(statistics.median(times["baseline"])),
        "floor_ns": None,
        "unit": "ns",
    }


# --- report --------------------------------------------------------------------


def fmt(ns, unit) -> str:
    if ns is None:
        return "—"
    if unit == "ns/call":
        return f"{ns} ns"
    for scale, suffix in ((1e9, "s"), (1e6, "ms"), (1e3, "µs")):
        if ns >= scale:
            return f"{ns / scale:.3g} {suffix}"
    return f"{ns} ns"


def ratio(a, b) -> float | None:
    return round(a / b, 3) if a is not None and b else None


def verdict(op: str, r: dict) -> tuple[str, str]:
    """The target as printed, and whether module/floor meets it ("" when there is none)."""
    limit = TARGETS.get(op)
    mf = r.get("module_over_floor")
    if limit is None or mf is None:
        return "—", ""
    return f"≤ {limit}", "yes" if mf <= limit else f"{OVER} (×{mf / limit:.2f} the target)"


def print_table(label: str, tree: dict) -> None:
    print(f"\n{label}" + (f": {tree['skills']} Skills, {tree['files']} files" if tree["files"] else ""))
    head = (
        f"  {'operation':28} {'module':>10} {'baseline':>10} {'floor':>10} {'mod/base':>9}"
        f" {'mod/floor':>9} {'target':>7}  met?"
    )
    print(head)
    print("  " + "-" * (len(head) - 2))
    notes = []
    for op, r in tree["operations"].items():
        r["module_over_baseline"] = ratio(r["module_ns"], r["baseline_ns"])
        r["module_over_floor"] = ratio(r["module_ns"], r["floor_ns"])
        mb = r["module_over_baseline"]
        mf = r["module_over_floor"]
        target, met = verdict(op, r)
        r["target"] = TARGETS.get(op)
        r["target_met"] = None if not met else met == "yes"
        print(
            f"  {op:28} {fmt(r['module_ns'], r['unit']):>10} {fmt(r['baseline_ns'], r['unit']):>10}"
            f" {fmt(r['floor_ns'], r['unit']):>10} {mb if mb is not None else '—':>9}"
            f" {mf if mf is not None else '—':>9} {target:>7}  {met}"
        )
        if "json_loads_ns" in r:
            notes.append(
                f"  {op}: floor = json.loads of the manifest {fmt(r['json_loads_ns'], 'ns')}"
                f" + the floor program's reads {fmt(r['listing_ns'], 'ns')};"
                f" json.loads is {r['json_loads_ns'] / r['module_ns']:.0%} of the module's time"
            )
        if op == "skill_allowed" and r["floor_ns"] is not None:
            notes.append(
                f"  {op}: per call in the same Python loop with the same keywords; floor ="
                " benchmarks/allowed_floor.c, a C function of the same signature that reads"
                " _PROFILE_KEYS and _profile_key from its namespace at every call"
            )
    for note in notes:
        print(note)


# Cost per file (skill_allowed: per call) at each large size, and the ratio of
# the largest tree's to the smallest's.
GROWTH_OPS = (
    "list_template_dirs", "selected_skill_names", "skill_allowed", "collect_skill_datas",
    "validate_release_manifest", "_remove_packaging_junk", "prune_templates_dir", "_remove_tree",
)


def growth(trees: dict) -> dict:
    sizes = [s for s in LINEAR_SIZES if s in trees]
    out = {}
    if len(sizes) < 2:
        return out
    for op in GROWTH_OPS:
        if not all(op in trees[s]["operations"] for s in sizes):
            continue
        per = []
        for s in sizes:
            r = trees[s]["operations"][op]
            per.append(r["module_ns"] if r["unit"] == "ns/call" else r["module_ns"] / trees[s]["files"])
        out[op] = {"sizes": sizes, "per_file_ns": per, "largest_over_smallest": round(per[-1] / per[0], 3)}
    return out


def print_linearity(trees: dict, grown: dict) -> None:
    sizes = [s for s in LINEAR_SIZES if s in trees]
    if len(sizes) < 2:
        print(
            "\nGrowth with the tree: needs two or more of the large sizes"
            f" (--sizes {','.join(LINEAR_SIZES)})"
        )
        return
    print("\nGrowth with the tree (module, ns per file; skill_allowed ns per call)")
    print(
        "  " + f"{'operation':28}"
        + "".join(f"{s + ' (' + str(trees[s]['files']) + ')':>20}" for s in sizes)
        + f"{'largest/smallest':>18}"
    )
    for op, g in grown.items():
        cells = "".join(f"{v:>20.1f}" for v in g["per_file_ns"])
        flag = f"  {OVER} (not flat: > {FLAT})" if op == "prune_templates_dir" and g["largest_over_smallest"] > FLAT else ""
        print(f"  {op:28}{cells}{g['largest_over_smallest']:>18.2f}{flag}")


def markdown(trees: dict, imp: dict, grown: dict) -> str:
    """The README's table: every operation on the largest tree measured, and the import."""
    label = max(trees, key=lambda t: trees[t]["files"])
    tree = trees[label]
    lines = [
        f"{label}: {tree['skills']} Skills, {tree['files']} files",
        "",
        "| operation | module | baseline | floor | module/baseline | module/floor | target | met? |",
        "|---|---:|---:|---:|---:|---:|---:|---|",
    ]
    for op, r in [*tree["operations"].items(), ("import (fresh interpreter)", imp)]:
        cells = [fmt(r["module_ns"], r["unit"]), fmt(r["baseline_ns"], r["unit"]), fmt(r["floor_ns"], r["unit"])]
        ratios = [ratio(r["module_ns"], r["baseline_ns"]), ratio(r["module_ns"], r["floor_ns"])]
        name = op if op.startswith("import") else f"`{op}`" + (" (per call)" if r["unit"] == "ns/call" else "")
        target, met = verdict(op, r)
        met = "yes" if met == "yes" else ("**no**" + met[len(OVER):] if met else "")
        lines.append(
            f"| {name} | " + " | ".join(cells) + " | "
            + " | ".join("—" if x is None else f"{x:.2f}" for x in ratios)
            + f" | {target} | {met} |"
        )
    for op in ("selected_skill_names", "validate_release_manifest"):
        r = tree["operations"].get(op)
        if r and "json_loads_ns" in r:
            lines += [
                "",
                f"`{op}`'s floor: `json.loads` of the manifest {fmt(r['json_loads_ns'], 'ns')}"
                f" + the floor program's reads {fmt(r['listing_ns'], 'ns')}.",
            ]
    if grown:
        sizes = next(iter(grown.values()))["sizes"]
        lines += [
            "",
            "Module cost per file (`skill_allowed`: per call) at each size:",
            "",
            "| operation | " + " | ".join(f"{s} ({trees[s]['files']} files)" for s in sizes) + " | largest/smallest |",
            "|---|" + "---:|" * (len(sizes) + 1),
        ]
        for op, g in grown.items():
            lines.append(
                f"| `{op}` | " + " | ".join(f"{v:.1f} ns" for v in g["per_file_ns"])
                + f" | {g['largest_over_smallest']:.2f} |"
            )
    return "\n".join(lines)


def machine() -> str:
    cpu = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{os.cpu_count()} cores, {cpu}, Python {platform.python_version()}, {platform.system()} {platform.release()}"


def default_workdir() -> Path | None:
    # Memory-backed, so that the figures measure the code rather than the
    # disk, and copying a large tree for each destructive run stays cheap.
    shm = Path("/dev/shm")
    return shm if shm.is_dir() and os.access(shm, os.W_OK) else None


def progress(message: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default=",".join(SHAPES), help=f"comma-separated, of {', '.join(SHAPES)}")
    parser.add_argument("--repeat", type=int, default=5, help="runs per measurement (median)")
    parser.add_argument(
        "--operations", help="comma-separated operations to time (default: all of them)",
    )
    parser.add_argument("--json", type=Path, help="also write the figures to this file")
    parser.add_argument("--markdown", action="store_true", help="also print the README's table")
    parser.add_argument(
        "--clock", choices=("wall", "cpu"), default="wall",
        help="time wall-clock time (default) or the process's CPU time (steadier on a shared machine)",
    )
    parser.add_argument(
        "--workdir", type=Path, default=default_workdir(),
        help="where to generate the trees, created when missing (default: /dev/shm when it is there, "
        "else the temporary directory)",
    )
    args = parser.parse_args()
    if args.workdir is not None:
        try:
            args.workdir.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            parser.error(f"--workdir: {exc}")
    sizes = [s.strip() for s in args.sizes.split(",") if s.strip()]
    unknown = [s for s in sizes if s not in SHAPES]
    if unknown:
        parser.error(f"unknown sizes: {', '.join(unknown)}")

    only = None
    if args.operations:
        only = {o.strip() for o in args.operations.split(",") if o.strip()}
        strange = sorted(only - set(OPERATIONS))
        if strange:
            parser.error(f"unknown operations: {', '.join(strange)}")

    global CLOCK
    if args.clock == "cpu":
        CLOCK = time.process_time_ns
        os.environ["FLOOR_CLOCK"] = "cpu"
    else:
        os.environ.pop("FLOOR_CLOCK", None)
    # 3.11's rglob raises a failed listing, so a sweep there must list the
    # whole tree before its first deletion, and so must its floor.
    os.environ["FLOOR_LIST_FIRST"] = "1" if sys.version_info < (3, 12) else "0"
    os.environ.pop(module.PROFILE_ENV, None)
    os.environ.pop("ZAVRIK_BUILTIN_TEMPLATES_DIR", None)
    binary = build_floor()
    allowed_floor = build_allowed_floor()
    print(f"zavrik.skills.packaging benchmark — {machine()}; medians of {args.repeat} runs, {args.clock} time")
    print(f"trees in {args.workdir or tempfile.gettempdir()}")
    results = {
        "machine": machine(), "date": time.strftime("%Y-%m-%d"), "repeat": args.repeat, "clock": args.clock,
        "trees": {},
    }
    with tempfile.TemporaryDirectory(dir=args.workdir) as tmp:
        for seed, label in enumerate(sizes):
            tree = bench_tree(label, SHAPES[label], Path(tmp), args.repeat, binary, allowed_floor, seed, only)
            results["trees"][label] = tree
            print_table(label, tree)
            sys.stdout.flush()
    imp = bench_import(args.repeat)
    results["import"] = imp
    print_table("import in a fresh interpreter", {"skills": 0, "files": 0, "operations": {"import": imp}})
    grown = growth(results["trees"])
    results["growth"] = grown
    print_linearity(results["trees"], grown)
    over = [
        f"{label} {op}" for label, tree in results["trees"].items()
        for op, r in tree["operations"].items() if r.get("target_met") is False
    ]
    print(f"\nAbove target: {', '.join(over)}" if over else "\nEvery operation within its target")
    if args.markdown and results["trees"]:
        print("\n" + markdown(results["trees"], imp, grown))
    if args.json:
        args.json.write_text(json.dumps(results, indent=2, ensure_ascii=False) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
