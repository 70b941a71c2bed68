"""How often a loop that swaps a directory for a link to an outside tree of
the same shape, started at the call's first removal, leads a deletion out
of the tree: each kind of path (a plain path, which the native walks take,
and a path object that overrides its methods, which the method path takes),
each deleting operation, each directory swapped (the root, a middle
directory, the parent of the files). Prints, for each, the runs that lost a
file outside and the files lost.

    python3 scripts/swap_window.py [RUNS]      # 20 runs each by default
"""
import os, pathlib, shutil, sys, tempfile, threading, time
import zavrik.skills.packaging as pk
PosixPath = type(pathlib.Path())
src = (pathlib.Path(__file__).resolve().parents[1] / "tests" / "test_reliability_promises.py").read_text()
prelude = src.split("CHILD_PRELUDE = r'''")[1].split("'''")[0]
exec(prelude.split("# The calls that walk")[0].replace("import zavrik.skills.packaging as pk", ""))

def mk(root, files):
    for rel in files:
        p = root / rel; p.parent.mkdir(parents=True, exist_ok=True); p.write_text("x")
FILES = [f"s/m/d{i}/x{j}.pyc" for i in range(6) for j in range(10)]
OPS = {
    "remove-tree": lambda r, m: pk._remove_tree(r / "s"),
    "sweep": lambda r, m: pk._remove_packaging_junk(r),
    "prune": lambda r, m: pk.prune_templates_dir(r, profile="binary-full", artifact="binary", manifest_templates_dir=m),
}
state = {}
def hook(event, args):
    if event in ("os.remove", "os.rmdir") and state.get("root") and str(args[0]).startswith(state["root"]):
        state["go"].set()
sys.addaudithook(hook)

def run(kind, op, swapped, runs):
    lost_runs = lost_files = 0
    for n in range(runs):
        base = pathlib.Path(tempfile.mkdtemp(dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else None))
        out, t, m = base / "out", base / "t", base / "m"
        mk(out, FILES); mk(t, FILES); m.mkdir(); (m / "manifest.json").write_text('{"skills": {}}')
        victim, target = t / swapped, out / swapped
        stop, go = threading.Event(), threading.Event()
        state.update(root=str(t), go=go)
        def flip():
            go.wait()
            while not stop.is_set():
                try:
                    os.rename(victim, base / "aside"); os.symlink(target, victim)
                    time.sleep(0.0001)
                    os.unlink(victim); os.rename(base / "aside", victim)
                except OSError:
                    pass
        th = threading.Thread(target=flip); th.start()
        try:
            OPS[op]((PosixPath if kind == "native" else MethodPath)(t), m)
        except OSError:
            pass
        finally:
            stop.set(); go.set(); th.join(); state.clear()
        gone = len(FILES) - sum(1 for _ in out.rglob("*.pyc"))
        if gone:
            lost_runs += 1; lost_files += gone
        shutil.rmtree(base, ignore_errors=True)
    return lost_runs, lost_files

runs = int(sys.argv[1]) if len(sys.argv) > 1 else 20
for kind in ("native", "method"):
    for op in OPS:
        for swapped in ("s", "s/m", "s/m/d3") if op == "remove-tree" else ("", "s", "s/m/d3"):
            r = run(kind, op, swapped, runs)
            print(f"{kind:7} {op:12} {swapped or '(root)':8} runs that lost files, files lost: {r}", flush=True)
