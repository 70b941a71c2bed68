"""Benchmark of zavrik.skills.packaging against a pure-Python baseline and the floor.

    python3 benchmarks/run.py [--sizes typical,large] [--json out.json] [--repeat N]

For each generated tree and public operation it times, side by side in one
run and as medians of --repeat runs,

- the module (`zavrik.skills.packaging`, built in place),
- the baseline (`benchmarks/baseline.py`: the same rules in plain Python on
  pathlib), whose results must be identical to the module's: same lists,
  same pairs, and for the destructive operations the same resulting tree,
- the floor (`benchmarks/floor.cpp`, compiled on first use): only the system
  calls the operation needs, no Python objects,

and prints module/baseline and module/floor. Module and baseline runs are
interleaved so that they share the machine's noise; the garbage collector is
off while a run is timed; destructive operations work on a fresh copy of the
tree each run, and the copying is not timed.
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
import statistics
import subprocess
import sys
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


def timed(call) -> tuple[int, object]:
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        result = call()
        elapsed = time.perf_counter_ns() - start
    finally:
        gc.enable()
    return elapsed, result


def side_by_side(repeat: int, run_module, run_baseline, check) -> tuple[int, int]:
    """Medians of interleaved runs; `check(module_result, baseline_result)` on the first."""
    times = {"module": [], "baseline": []}
    runs = {"module": run_module, "baseline": run_baseline}
    for i in range(repeat):
        order = ("module", "baseline") if i % 2 == 0 else ("baseline", "module")
        results = {}
        for who in order:
            elapsed, results[who] = runs[who]()
            times[who].append(elapsed)
        if i == 0:
            check(results["module"], results["baseline"])
    return int(statistics.median(times["module"])), int(statistics.median(times["baseline"]))


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


def floor(binary: Path, *args) -> dict:
    out = subprocess.run([str(binary), *map(str, args)], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def names_file(work: Path, label: str, names) -> Path:
    path = work / f"{label}.names"
    path.write_text("".join(f"{n}\n" for n in names), encoding="utf-8")
    return path


# --- one tree ------------------------------------------------------------------


def bench_tree(label: str, shape: Shape, work: Path, repeat: int, binary: Path, seed: int) -> dict:
    src = work / f"{label.replace('/', '_')}-src"
    progress(f"{label}: generating {shape.skills} Skills")
    manifest = generate(src, shape, seed)
    files = file_count(src)
    skills = [p.name for p in sorted(src.iterdir()) if p.is_dir()]
    rows: dict[str, dict] = {}
    tag = label.replace("/", "_")

    def row(op, m, b, f=None, unit="ns", **extra):
        progress(f"{label}: {op} done")
        rows[op] = {"module_ns": m, "baseline_ns": b, "floor_ns": f, "unit": unit, **extra}

    def floor_check(op, got, expected):
        if got["count"] != expected:
            raise AssertionError(f"{label} {op}: floor counted {got['count']}, module {expected}")

    # list_template_dirs
    m, b = side_by_side(
        repeat,
        lambda: timed(lambda: module.list_template_dirs(src)),
        lambda: timed(lambda: baseline.list_template_dirs(src)),
        same("list_template_dirs"),
    )
    f = floor(binary, "list", repeat, src)
    floor_check("list", f, len(module.list_template_dirs(src)))
    row("list_template_dirs", m, b, f["median_ns"])

    # selected_skill_names, restricted profile
    kw = dict(profile=PROFILE, artifact=ARTIFACT, templates_dir=src)
    m, b = side_by_side(
        repeat,
        lambda: timed(lambda: module.selected_skill_names(**kw)),
        lambda: timed(lambda: baseline.selected_skill_names(**kw)),
        same("selected_skill_names"),
    )
    f = floor(binary, "selected", repeat, src)
    row("selected_skill_names", m, b, f["median_ns"])

    # skill_allowed with a manifest dict, per call
    loaded = module.load_release_manifest(src)
    calls = (skills * (1 + 20000 // max(1, len(skills))))[:20000]

    def allowed(impl):
        def run():
            f_ = impl.skill_allowed
            return [f_(n, profile=PROFILE, artifact=ARTIFACT, manifest=loaded) for n in calls]

        return lambda: timed(run)

    m, b = side_by_side(repeat, allowed(module), allowed(baseline), same("skill_allowed"))
    row("skill_allowed", m // len(calls), b // len(calls), None, unit="ns/call")

    # collect_skill_datas (binary-minimal: the bundler's default)
    m, b = side_by_side(
        repeat,
        lambda: timed(lambda: module.collect_skill_datas(templates_dir=src)),
        lambda: timed(lambda: baseline.collect_skill_datas(templates_dir=src)),
        same("collect_skill_datas"),
    )
    admitted = module.selected_skill_names(profile="binary-minimal", artifact="binary", templates_dir=src)
    f = floor(binary, "collect", repeat, src, names_file(work, f"{tag}-collect", admitted))
    floor_check("collect", f, len(module.collect_skill_datas(templates_dir=src)))
    row("collect_skill_datas", m, b, f["median_ns"])

    # validate_release_manifest
    m, b = side_by_side(
        repeat,
        lambda: timed(lambda: module.validate_release_manifest(src)),
        lambda: timed(lambda: baseline.validate_release_manifest(src)),
        same("validate_release_manifest"),
    )
    problems = module.validate_release_manifest(src)
    release = [
        n
        for n in skills
        if isinstance(manifest["skills"].get(n), dict)
        and any(manifest["skills"][n].get(k) for k in ("source", "wheel", "binary", "binary_full"))
    ]
    f = floor(binary, "validate", repeat, src, names_file(work, f"{tag}-validate", release))
    floor_check("validate", f, sum("发版准入" in p for p in problems))
    row("validate_release_manifest", m, b, f["median_ns"], problems=len(problems))

    # The destructive operations, each run on a fresh copy.
    def destructive(op, call, floor_args):
        times = {"module": [], "baseline": []}
        for i in range(repeat):
            order = ("module", "baseline") if i % 2 == 0 else ("baseline", "module")
            results, copies = {}, {}
            for who in order:
                copies[who] = copy_tree(src, work / f"{tag}-{who}")
                impl = module if who == "module" else baseline
                elapsed, results[who] = timed(lambda: call(impl, copies[who]))
                times[who].append(elapsed)
            if i == 0:
                same(op)(results["module"], results["baseline"])
                if os.path.lexists(copies["module"]):
                    same(f"{op} (resulting tree)")(snapshot(copies["module"]), snapshot(copies["baseline"]))
            for copy in copies.values():
                drop_tree(copy)
        fcopies = [copy_tree(src, work / f"{tag}-floor-{i}") for i in range(repeat)]
        f = floor(binary, *floor_args, *fcopies)
        for copy in fcopies:
            drop_tree(copy)
        row(op, int(statistics.median(times["module"])), int(statistics.median(times["baseline"])), f["median_ns"])
        return f

    destructive(
        "_remove_packaging_junk",
        lambda impl, copy: impl._remove_packaging_junk(copy),
        ["sweep"],
    )
    kept = module.selected_skill_names(profile=PROFILE, artifact=ARTIFACT, templates_dir=src)
    f = destructive(
        "prune_templates_dir",
        lambda impl, copy: impl.prune_templates_dir(
            copy, profile=PROFILE, artifact=ARTIFACT, manifest_templates_dir=src
        ),
        ["prune", src, names_file(work, f"{tag}-prune", kept)],
    )
    floor_check("prune", f, len(kept))
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


def print_table(label: str, tree: dict) -> None:
    print(f"\n{label}" + (f": {tree['skills']} Skills, {tree['files']} files" if tree["files"] else ""))
    head = f"  {'operation':28} {'module':>10} {'baseline':>10} {'floor':>10} {'mod/base':>9} {'mod/floor':>9}"
    print(head)
    print("  " + "-" * (len(head) - 2))
    for op, r in tree["operations"].items():
        r["module_over_baseline"] = ratio(r["module_ns"], r["baseline_ns"])
        r["module_over_floor"] = ratio(r["module_ns"], r["floor_ns"])
        mb = r["module_over_baseline"]
        mf = r["module_over_floor"]
        print(
            f"  {op:28} {fmt(r['module_ns'], r['unit']):>10} {fmt(r['baseline_ns'], r['unit']):>10}"
            f" {fmt(r['floor_ns'], r['unit']):>10} {mb if mb is not None else '—':>9}"
            f" {mf if mf is not None else '—':>9}"
        )


def print_linearity(trees: dict) -> None:
    sizes = [s for s in LINEAR_SIZES if s in trees]
    if len(sizes) < 2:
        return
    print("\nGrowth with the tree (module, ns per file)")
    print("  " + f"{'operation':28}" + "".join(f"{s + ' (' + str(trees[s]['files']) + ')':>20}" for s in sizes))
    for op in ("list_template_dirs", "collect_skill_datas", "validate_release_manifest",
               "_remove_packaging_junk", "prune_templates_dir", "_remove_tree"):
        cells = "".join(f"{trees[s]['operations'][op]['module_ns'] / trees[s]['files']:>20.0f}" for s in sizes)
        print(f"  {op:28}{cells}")


def markdown(trees: dict, imp: dict) -> str:
    """The README's table: every operation on the largest tree measured, and the import."""
    label = max(trees, key=lambda t: trees[t]["files"])
    tree = trees[label]
    lines = [
        f"{label}: {tree['skills']} Skills, {tree['files']} files",
        "",
        "| operation | module | baseline | floor | module/baseline | module/floor |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for op, r in [*tree["operations"].items(), ("import (fresh interpreter)", imp)]:
        cells = [fmt(r["module_ns"], r["unit"]), fmt(r["baseline_ns"], r["unit"]), fmt(r["floor_ns"], r["unit"])]
        ratios = [ratio(r["module_ns"], r["baseline_ns"]), ratio(r["module_ns"], r["floor_ns"])]
        name = op if op.startswith("import") else f"`{op}`" + (" (per call)" if r["unit"] == "ns/call" else "")
        lines.append(
            f"| {name} | " + " | ".join(cells) + " | " + " | ".join("—" if x is None else f"{x:.2f}" for x in ratios) + " |"
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
    parser.add_argument("--json", type=Path, help="also write the figures to this file")
    parser.add_argument("--markdown", action="store_true", help="also print the README's table")
    parser.add_argument(
        "--workdir", type=Path, default=default_workdir(),
        help="where to generate the trees (default: /dev/shm when it is there, else the temporary directory)",
    )
    args = parser.parse_args()
    sizes = [s.strip() for s in args.sizes.split(",") if s.strip()]
    unknown = [s for s in sizes if s not in SHAPES]
    if unknown:
        parser.error(f"unknown sizes: {', '.join(unknown)}")

    os.environ.pop(module.PROFILE_ENV, None)
    os.environ.pop("ZAVRIK_BUILTIN_TEMPLATES_DIR", None)
    binary = build_floor()
    print(f"zavrik.skills.packaging benchmark — {machine()}; medians of {args.repeat} runs")
    print(f"trees in {args.workdir or tempfile.gettempdir()}")
    results = {"machine": machine(), "date": time.strftime("%Y-%m-%d"), "repeat": args.repeat, "trees": {}}
    with tempfile.TemporaryDirectory(dir=args.workdir) as tmp:
        for seed, label in enumerate(sizes):
            tree = bench_tree(label, SHAPES[label], Path(tmp), args.repeat, binary, seed)
            results["trees"][label] = tree
            print_table(label, tree)
            sys.stdout.flush()
    imp = bench_import(args.repeat)
    results["import"] = imp
    print_table("import in a fresh interpreter", {"skills": 0, "files": 0, "operations": {"import": imp}})
    print_linearity(results["trees"])
    if args.markdown and results["trees"]:
        print("\n" + markdown(results["trees"], imp))
    if args.json:
        args.json.write_text(json.dumps(results, indent=2, ensure_ascii=False) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
