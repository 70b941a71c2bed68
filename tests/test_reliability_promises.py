"""The promises for plain paths, subclasses and path objects that override
methods, each forced at the exact step that breaks it:

- deletion stays inside the tree that was open when the call began, when the
  target is renamed away and a link to another tree put in its place
  between steps (audit events of the module's own steps);
- a daemon thread inside a call at interpreter exit leaves status 0;
- SIGINT during a native walk raises KeyboardInterrupt at once;
- under another user's permissions the native walks and the method path
  agree;
- a path object whose internal fields were never set raises what pathlib
  raises, never SystemError.

Exit, signals and permissions run in child processes. The path classes and
operations below are shared with those children (`CHILD_PRELUDE`).
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path, PurePath

import pytest

from conftest import SubPath

CHILD_PRELUDE = r'''
import json, os, pathlib, signal, sys, threading, time
import zavrik.skills.packaging as pk

PosixPath = type(pathlib.Path())


class MethodPath(PosixPath):
    """Overrides the members the operations use, each with the inherited
    behaviour: the module must take its method-by-method path for it."""

    def exists(self):
        return super().exists()

    def is_dir(self):
        return super().is_dir()

    def is_file(self):
        return super().is_file()

    def is_symlink(self):
        return super().is_symlink()

    def iterdir(self):
        return super().iterdir()

    def rglob(self, pattern):
        return super().rglob(pattern)

    def unlink(self, missing_ok=False):
        return super().unlink(missing_ok)

    def rmdir(self):
        return super().rmdir()


# The calls that walk a whole tree.
OPS = {
    "remove-tree": lambda root: pk._remove_tree(root),
    "sweep": lambda root: pk._remove_packaging_junk(root),
    "prune": lambda root: pk.prune_templates_dir(root, profile="dev", artifact="binary"),
    "collect": lambda root: pk.collect_skill_datas(templates_dir=root),
    "validate": lambda root: pk.validate_release_manifest(root),
    "list": lambda root: pk.list_template_dirs(root),
}


def build_files(root, dirs, files):
    """root/d<i>/f<j>, each file holding b"x" (made or made again)."""
    os.makedirs(root, exist_ok=True)
    for i in range(dirs):
        d = os.path.join(root, f"d{i}")
        os.makedirs(d, exist_ok=True)  # a sweep leaves the directories: build again over them
        fd = os.open(d, os.O_RDONLY | os.O_DIRECTORY)
        try:
            for j in range(files):
                f = os.open(f"f{j}", os.O_CREAT | os.O_WRONLY | os.O_CLOEXEC, dir_fd=fd)
                os.write(f, b"x")
                os.close(f)
        finally:
            os.close(fd)


def slow_links(root, count, target):
    """root/d1/l<j>: links to `target` (made or made again)."""
    os.makedirs(os.path.join(root, "d1"), exist_ok=True)
    for j in range(count):
        try:
            os.symlink(target, os.path.join(root, "d1", f"l{j}"))
        except FileExistsError:
            pass
'''
exec(CHILD_PRELUDE)  # the same classes, operations and builder here

CHECKOUT = Path(pk.__file__).resolve().parents[2]
KINDS = {"plain": PosixPath, "subclass": SubPath, "method": MethodPath}


def run_child(code, *args):
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], cwd=CHECKOUT,
                          capture_output=True, text=True, timeout=120)


def finished(child, timeout=60):
    """The status, stdout and stderr of a child started with stderr piped
    (stdout as None where it is not); one that hangs is killed and said to
    have hung."""
    try:
        stdout, stderr = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        child.kill()
        stdout, stderr = child.communicate()
        stderr += f"\n(hung: killed after {timeout} s)"
    return child.returncode, stdout, stderr


@pytest.fixture
def scratch():
    """A fresh directory on tmpfs where there is one (big trees build fast
    there), traversable by every user."""
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else tempfile.gettempdir()
    path = Path(tempfile.mkdtemp(dir=base, prefix="zavrik-"))
    path.chmod(0o755)
    yield path
    shutil.rmtree(path, ignore_errors=True)


# Audit hooks cannot be removed: one hook, added on first use, dispatches to
# the current test's.
_HOOKS = []


def _dispatch(event, args):
    for hook in _HOOKS:
        hook(event, args)


@pytest.fixture
def on_audit():
    if not hasattr(_dispatch, "added"):
        sys.addaudithook(_dispatch)
        _dispatch.added = True
    yield _HOOKS.append
    _HOOKS.clear()


# --- Deletion anchored to the tree open when the call began ---------------------------

# The outside tree holds what a sweep or a prune would delete in the target,
# under the same names: whatever is deleted through a swapped-in link is lost.
OUTSIDE = {"s/keep.txt": "k", "s/junk.pyc": "j", "s/__pycache__/c.pyc": "c",
           "s/sub/deep.pyo": "d", "s/sub/deep.txt": "d", "gone/SKILL.md": "g",
           "gone/x.pyc": "x", "top.pyc": "t"}
TARGET = {**dict.fromkeys(OUTSIDE, ""), "manifest.json": {"skills": {"s": {"binary": True}}}}
MANIFEST_ROOT = {"manifest.json": {"skills": {"s": {"binary": True}}}, "s/SKILL.md": ""}


def prune(target, manifests):
    return pk.prune_templates_dir(target, profile="binary-minimal", artifact="binary",
                                  manifest_templates_dir=manifests)


def sweep(target, manifests):
    return pk._remove_packaging_junk(target)


def remove_skill(target, manifests):
    return pk._remove_tree(target / "s")


def at_rglob_star(t, m):
    return lambda event, args: (event == "pathlib.Path.rglob" and args[1] == "*"
                                and str(args[0]) == str(t))


def at_manifest_open(t, m):
    return lambda event, args: event == "open" and str(args[0]) == str(m / "manifest.json")


def at_unlink_of(rel):
    return lambda t, m: lambda event, args: event == "os.remove" and str(args[0]) == str(t / rel)


class SwapBeforeDescent(MethodPath):
    """Swaps s/sub for a link right after answering that it is a directory,
    the step before `_remove_tree` descends into it."""

    swap = None

    def is_dir(self):
        answer = super().is_dir()
        if self.name == "sub" and SwapBeforeDescent.swap:
            SwapBeforeDescent.swap()
        return answer


def at_first_removal(t, m):
    return lambda event, args: event == "os.remove" and str(args[0]).startswith(str(t))


# case: (operation, moment (audit predicate) or None, swapped directory, must the swap happen)
SWAPS = {
    # The root, or a directory on the way, swapped at the first removal and
    # left so: the removal under way is the one step a path object's own
    # method may still take by name (its own deleting call announces it);
    # every later one must stay in the tree.
    "remove-tree-root-at-first-removal": (remove_skill, at_first_removal, "s", True),
    "sweep-root-at-first-removal": (sweep, at_first_removal, "", True),
    "sweep-middle-at-first-removal": (sweep, at_first_removal, "s", True),
    "prune-root-at-first-removal": (prune, at_first_removal, "", True),
    "sweep-root-between-phases": (sweep, at_rglob_star, "", True),
    "prune-root-while-manifest-read": (prune, at_manifest_open, "", True),
    "prune-root-between-sweep-phases": (prune, at_rglob_star, "", True),
    # The method path unlinks by name: a directory above the file swapped
    # right before the unlink. A subclass that overrides nothing must not
    # be exposed to that window (the native walks make no such call).
    "sweep-parent-at-unlink": (sweep, at_unlink_of("s/junk.pyc"), "s", False),
    "remove-tree-below-before-descent": (remove_skill, None, "s/sub", True),
}
# The native walks are POSIX; on Windows every path takes the method path,
# whose remaining window the README states.
NATIVE_WALKS = sys.platform != "win32"
native_only = pytest.mark.skipif(
    not NATIVE_WALKS, reason="no native walks on this platform: every path takes the method path")

SWAP_CASES = [
    pytest.param(case, kind, id=f"{case}-{kind}",
                 marks=[native_only] if case == "sweep-parent-at-unlink" else [])
    for case, kinds in [
        ("remove-tree-root-at-first-removal", KINDS), ("sweep-root-at-first-removal", KINDS),
        ("sweep-middle-at-first-removal", KINDS), ("prune-root-at-first-removal", KINDS),
        ("sweep-root-between-phases", KINDS), ("prune-root-while-manifest-read", KINDS),
        ("prune-root-between-sweep-phases", KINDS), ("sweep-parent-at-unlink", ["subclass"]),
        ("remove-tree-below-before-descent", ["swap-before-descent"]),
    ]
    for kind in kinds
]


@pytest.mark.parametrize("case, kind", SWAP_CASES)
def test_swapped_for_a_link_mid_call_nothing_outside_is_deleted(tmp_path, mktree, snapshot,
                                                                on_audit, case, kind):
    operation, moment, swapped, must_swap = SWAPS[case]
    outside = mktree(tmp_path / "outside", OUTSIDE)
    target = mktree(tmp_path / "target", TARGET)
    manifests = mktree(tmp_path / "manifests", MANIFEST_ROOT)
    before = snapshot(outside)
    done = []

    def swap():
        if not done:
            victim = target / swapped
            os.rename(victim, tmp_path / "aside")
            os.symlink(outside / swapped, victim)
            done.append(victim)

    if moment:
        matches = moment(target, manifests)
        on_audit(lambda event, args: matches(event, args) and swap())
    SwapBeforeDescent.swap = swap
    cls = SwapBeforeDescent if kind == "swap-before-descent" else KINDS[kind]
    try:
        operation(cls(target), manifests)
    except OSError:
        pass  # an error is acceptable; deleting through the link is not
    finally:
        SwapBeforeDescent.swap = None
    assert done or not must_swap, "the swap never happened: nothing was tested"
    lost = set(before) - set(snapshot(outside))
    # The method path's remaining window: the step whose own call announced
    # the swap goes where its path leads then (one file, at most).
    in_flight = 1 if kind == "method" and case.endswith("at-first-removal") else 0
    assert len(lost) <= in_flight, f"deleted outside the tree through the swapped-in link: {lost}"


# --- What audit hooks are told ---------------------------------------------------------

AUDITED = ("os.remove", "os.rmdir", "os.scandir", "os.listdir", "open",
           "pathlib.Path.rglob", "pathlib.Path.glob", "pathlib.Path.walk")
AUDIT_TREE = {
    "manifest.json": {"skills": {"s": {"reason": "r", "tier": "t", "binary": True},
                                 "gone": {"reason": "r", "tier": "t", "binary": False}}},
    "s/SKILL.md": "", "s/data/VERSION.json": "", "s/x.pyc": "", "s/__pycache__/c.pyc": "",
    "s/sub/deep.pyo": "", "s/sub/keep.txt": "", "s/sub/gone.txt": "", "s/sub/__pycache__/d.pyc": "",
    "gone/SKILL.md": "", "gone/y.pyc": "",
}
AUDIT_OPS = {
    "remove-tree": lambda root: pk._remove_tree(root / "s"),
    "sweep": lambda root: pk._remove_packaging_junk(root),
    "prune": lambda root: pk.prune_templates_dir(root, profile="binary-minimal", artifact="binary",
                                                 manifest_templates_dir=root),
    "prune-dev": lambda root: pk.prune_templates_dir(root, profile="dev", artifact="binary"),
    "collect": lambda root: pk.collect_skill_datas(profile="binary-minimal", templates_dir=root),
    "list": lambda root: pk.list_template_dirs(root),
    "validate": lambda root: pk.validate_release_manifest(root),
    # Removals whose listing fails: it is announced all the same, then raises.
    "remove-missing": lambda root: pk._remove_tree(root / "missing"),
    "remove-file": lambda root: pk._remove_tree(root / "s" / "SKILL.md"),
    "remove-fifo": lambda root: remove_fifo(root / "fifo"),
    "sweep-file": lambda root: pk._remove_packaging_junk(root / "s" / "SKILL.md"),
    "prune-file": lambda root: pk.prune_templates_dir(
        root / "s" / "SKILL.md", profile="binary-minimal", artifact="binary",
        manifest_templates_dir=root),
    "list-file": lambda root: pk.list_template_dirs(root / "s" / "SKILL.md"),
}


def remove_fifo(path):
    os.mkfifo(path)
    try:
        return pk._remove_tree(path)
    finally:
        os.unlink(path)  # the snapshot would block opening it


def change_at_listing(event, place, root):
    """At each listing of s/sub: gone.txt goes and a new late<n>.pyc comes.
    What the listing gives must be what is there once the hook returned."""
    if event in ("os.scandir", "os.listdir") and place.rstrip("/").endswith("/s/sub"):
        sub = os.path.join(root, "s", "sub")
        if os.path.lexists(os.path.join(sub, "gone.txt")):
            os.unlink(os.path.join(sub, "gone.txt"))
        late = sum(name.startswith("late") for name in os.listdir(sub))
        with open(os.path.join(sub, f"late{late}.pyc"), "w"):
            pass
    return False


# What a hook refuses: the removal of one file, the listing of one directory
# (refused with PermissionError, which rglob passes over where it passes over
# a directory it may not list), and a removal refused with another error.
REFUSALS = {
    "record": lambda event, place, root: False,
    "refuse-removal": lambda event, place, root: event == "os.remove" and place.endswith("x.pyc"),
    "refuse-listing": lambda event, place, root: event in ("os.scandir", "os.listdir")
                                                  and place.rstrip("/").endswith("/sub"),
    "refuse-every-listing": lambda event, place, root: event in ("os.scandir", "os.listdir"),
    "refuse-rmdir": lambda event, place, root: event == "os.rmdir",
    # Not a refusal: the hook changes the tree at the listing it is told of.
    "change-at-listing": change_at_listing,
}


@pytest.mark.parametrize("hook", REFUSALS)
@pytest.mark.parametrize("op", AUDIT_OPS)
def test_audit_hooks_are_told_the_same_steps_and_stop_them_alike(tmp_path, mktree, snapshot,
                                                                 on_audit, op, hook):
    """The native walks announce each step the method path announces, with
    the same arguments, and a hook that raises stops them at the same step."""
    current = {}

    def listen(event, args):
        if not current or event not in AUDITED or current.get("busy"):
            return
        place = str(args[0]).replace(current["root"], "<root>")
        current["events"].append((event, place, *args[1:]))
        current["busy"] = True  # what the hook itself does is not recorded
        try:
            refused = REFUSALS[hook](event, place, current["root"])
        finally:
            current["busy"] = False
        if refused:
            raise (PermissionError if hook != "refuse-rmdir" else RuntimeError)(f"refused: {place}")

    on_audit(listen)
    seen = []
    for kind, cls in (("native", PosixPath), ("method", MethodPath)):
        root = mktree(tmp_path / kind, AUDIT_TREE)
        current.update(root=str(root), events=[])
        try:
            value = repr(AUDIT_OPS[op](cls(root))).replace(str(root), "<root>")
            outcome = ("returned", value.replace(cls.__name__, "<class>"))
        except Exception as e:
            outcome = ("raised", type(e).__name__, str(e).replace(str(root), "<root>"))
        events = current.pop("events")
        current.clear()
        seen.append((outcome, events, snapshot(root)))
    (native, native_events, native_tree), (method, method_events, method_tree) = seen
    assert native == method
    assert native_tree == method_tree
    assert native_events == method_events


# --- Long walks: exit and Ctrl-C ------------------------------------------------------

def make_slow_tree(base, top_links, links):
    """A templates root whose walks take long without many entries: each link
    in it resolves through a chain of 37 links, each a 4 KB path of x/../
    steps, so that one stat costs milliseconds (as on a slow network file
    system). The Skills k<i> are links to a directory; the one Skill the
    bundler takes, s, is a directory of links to a file."""
    chain = base / "chain"
    (chain / "x").mkdir(parents=True)
    (chain / "end" / "d").mkdir(parents=True)
    (chain / "end" / "f").write_text("x")
    pad = "x/../" * 780
    for kind, last in (("d", "end/d"), ("f", "end/f")):
        for k in range(36, -1, -1):
            os.symlink(pad + last, chain / f"{kind}{k}")
            last = f"{kind}{k}"
    root = base / "root"
    (root / "s").mkdir(parents=True)
    (root / "s" / "SKILL.md").write_text("")
    skills = {f"k{i}": {"reason": "r", "tier": "t", "wheel": True} for i in range(top_links)}
    skills["s"] = {"reason": "r", "tier": "t", "binary": True}
    (root / "manifest.json").write_text(json.dumps({"skills": skills}))
    for i in range(top_links):
        os.symlink(chain / "d0", root / f"k{i}")
    for j in range(links):
        os.symlink(chain / "f0", root / "s" / f"f{j}")
    assert os.path.isdir(root / "k0") and os.path.isfile(root / "s" / "f0")
    return root


@pytest.fixture(scope="module")
def slow_trees(tmp_path_factory):
    base = tmp_path_factory.mktemp("slow")
    return {"exit": make_slow_tree(base / "exit", 12, 12),
            "interrupt": make_slow_tree(base / "interrupt", 150, 250)}


EXIT_CHILD = CHILD_PRELUDE + r'''
op, kind, root, slow_file = sys.argv[1:5]
inside, done = threading.Event(), threading.Event()


class Spinning(MethodPath):
    def is_dir(self):
        inside.set()
        while True:
            pass

    # From 3.13 rglob asks no is_dir() of its root: the sweep spins here.
    def rglob(self, pattern):
        return self.is_dir()


def only_python(path):
    """A thread of the interpreter's own: it lets the GIL go and takes it
    back every millisecond."""
    while True:
        time.sleep(0.001)


call = OPS.get(op, only_python)
if op == "remove-tree":
    # Long enough to be inside it at exit: each link costs milliseconds.
    build_files(root, 20, 300)
    slow_links(root, 300, slow_file)
path = (PosixPath if kind == "native" else Spinning)(root)
task = []


def work():
    task.append(f"/proc/self/task/{threading.get_native_id()}")
    if kind != "method":
        inside.set()  # the GIL stays with this thread until the call lets it go
    call(path)
    done.set()


def fate(task, end, now=time.monotonic, sleep=time.sleep, open=open):
    """What the interpreter does to the worker once it tries to take the GIL
    after finalization began: "unwound" once its task is gone (pthread_exit
    ended it), "parked" once it sleeps and has not been woken for 50 ms (it
    waits for ever inside the attempt: nothing wakes it, while a thread that
    waits for the GIL wakes every few milliseconds)."""
    seen = None
    while now() < end:
        try:
            with open(task + "/status") as f:
                fields = dict(line.split(":", 1) for line in f.read().splitlines())
        except (FileNotFoundError, ProcessLookupError):
            return "unwound"
        state = (fields["State"].split()[0], fields["voluntary_ctxt_switches"],
                 fields["nonvoluntary_ctxt_switches"])
        if state[0] == "S" and state == seen:
            return "parked"
        seen = state
        sleep(0.05)
    return "running"


def count(top, scandir=os.scandir):
    """The entries below `top`, links not followed."""
    with scandir(top) as entries:
        return sum(1 + (count(e.path) if e.is_dir(follow_symlinks=False) else 0) for e in entries)


class _FlushAtExit:
    """sys.stdout from here on. The interpreter flushes it once it is
    finalizing: the flush lets the GIL go until the worker has tried to
    take it and met its end (or the process aborted), so that this happens
    in every run, and says which end it met."""

    closed = False
    told = False

    def write(self, text):
        return sys.__stdout__.write(text)

    def flush(self, finalizing=sys.is_finalizing, now=time.monotonic, fate=fate, count=count):
        if finalizing() and not self.told:
            self.told = True
            sys.__stdout__.write(fate(task[0], now() + 20) + "\n")
            if op == "remove-tree":  # what the removal left once the worker met its end
                sys.__stdout__.write(f"{count(root)}\n")
        sys.__stdout__.flush()


threading.Thread(target=work, daemon=True).start()
inside.wait()
print("finished" if done.is_set() else "inside", flush=True)
sys.stdout = _FlushAtExit()
'''


def run_exit_children(op, kind, roots, slow_file=os.devnull):
    """EXIT_CHILD once per root, all at once: each one's (status, stderr,
    stdout lines)."""
    children = [subprocess.Popen([sys.executable, "-c", EXIT_CHILD, op, kind, str(root), slow_file],
                                 cwd=CHECKOUT, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 text=True) for root in roots]
    runs = []
    for child in children:
        status, stdout, stderr = finished(child)
        runs.append((status, stderr[-2000:], stdout.split()))
    return runs


@pytest.fixture(scope="module")
def end_at_exit(tmp_path_factory):
    """What this interpreter does to a daemon thread that tries to take the
    GIL once finalization has begun, seen on a thread that runs only Python:
    3.11 to 3.13 unwind it (pthread_exit), 3.14 and later park it for ever
    in the attempt."""
    [(status, stderr, stdout)] = run_exit_children("python", "plain",
                                                      [tmp_path_factory.mktemp("fate")])
    assert status == 0 and stdout[0] == "inside", (status, stderr)
    assert stdout[1] in ("unwound", "parked"), f"a thread of the interpreter's own: {stdout[1:]}"
    return stdout[1]


@pytest.mark.parametrize("kind", ["native", "method"])
@pytest.mark.parametrize("op", list(OPS))
def test_daemon_thread_inside_a_call_at_exit_leaves_status_0(slow_trees, scratch, end_at_exit,
                                                             op, kind):
    """The main thread returns while a daemon thread is inside the call: a
    native walk, or a method override spinning in Python. The thread meets
    the end the interpreter gives a thread of its own (unwound, or parked
    for ever), and the process exits with status 0 at once either way."""
    roots = [scratch / f"r{attempt}" if op == "remove-tree" else slow_trees["exit"]
             for attempt in range(5)]
    slow_file = slow_trees["exit"].parent / "chain" / "f0"
    runs = run_exit_children(op, kind, roots, slow_file)
    for attempt, (status, stderr, stdout) in enumerate(runs):
        assert status == 0 and "terminate called" not in stderr, f"run {attempt}: {status} {stderr}"
        assert stdout[0] == "inside", f"run {attempt}: the call ended before exit"
        assert stdout[1] == end_at_exit, (
            f"run {attempt}: the thread inside the call was {stdout[1]}, a thread running only "
            f"Python is {end_at_exit}")
        if op == "remove-tree":
            # The removal stops at its next check once the interpreter
            # finalizes, not at the end of the tree.
            assert int(stdout[2]) > 0, f"run {attempt}: the removal went on to the end at exit"


SLOW_EXIT_C = r'''
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>
/* A library whose own teardown takes time: it runs after the interpreter
   has finalized, while daemon threads may still be inside a call. */
static void slow_teardown(void) { usleep(300000); }

#if defined(__GLIBC__) || defined(__APPLE__)
#include <execinfo.h>
/* A crash prints the crashing thread's native frames: after finalization
   no Python-level handler is left to say where it happened. */
static void report(int sig) {
  static const char head[] = "\nnative frames of the crashing thread:\n";
  void *frames[64];
  int n = backtrace(frames, 64);
  if (write(2, head, sizeof head - 1) > 0) backtrace_symbols_fd(frames, n, 2);
  signal(sig, SIG_DFL);
  raise(sig);
}

static void install_report(void) {
  void *warm[1];
  backtrace(warm, 1); /* loads the unwinder now, not inside the handler */
  signal(SIGSEGV, report);
  signal(SIGBUS, report);
  signal(SIGABRT, report);
}
#else
static void install_report(void) {}
#endif

__attribute__((constructor)) static void register_teardown(void) {
  install_report();
  atexit(slow_teardown);
}
'''

SLOW_EXIT_CHILD = CHILD_PRELUDE + r'''
import ctypes
ctypes.CDLL(sys.argv[1])
shared, scratch = sys.argv[2], sys.argv[3]


def loop(op, cls, own):
    """One daemon thread: the call over and over, on a tree of its own where
    the call deletes."""
    while True:
        if own:
            build_files(own, 3, 40)
            os.makedirs(os.path.join(own, "d0", "__pycache__"), exist_ok=True)
        try:
            OPS[op](cls(own or shared))
        except OSError:
            pass


for i, op in enumerate(OPS):
    for kind, cls in (("native", PosixPath), ("method", MethodPath)):
        own = os.path.join(scratch, f"{op}-{kind}") if op in ("remove-tree", "sweep", "prune") else None
        threading.Thread(target=loop, args=(op, cls, own), daemon=True).start()
time.sleep(0.05)
'''


def test_daemon_threads_inside_calls_at_exit_with_a_slow_exit_handler_leave_status_0(
        slow_trees, scratch, tmp_path):
    """Daemon threads inside every call while the process exits, and a C
    exit handler that keeps the process alive after the interpreter has
    finalized: 100 runs, none may crash or hang, whether the interpreter
    unwinds the threads or parks them."""
    source = tmp_path / "slow.c"
    source.write_text(SLOW_EXIT_C)
    library = tmp_path / "slow.so"
    compiler = os.environ.get("CC", "cc")
    try:
        subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(source)], check=True,
                       capture_output=True, timeout=120)
    except (OSError, subprocess.CalledProcessError) as e:
        pytest.skip(f"no C compiler to build the exit handler: {e}")
    crashed = []
    for batch in range(10):
        children = [subprocess.Popen([sys.executable, "-c", SLOW_EXIT_CHILD, str(library),
                                      str(slow_trees["exit"]), str(scratch / f"{batch}-{k}")],
                                     cwd=CHECKOUT, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     text=True) for k in range(10)]
        for child in children:
            status, _, stderr = finished(child)
            if status != 0:
                crashed.append((status, stderr[-4000:]))
    assert not crashed, f"{len(crashed)} of 100 runs crashed or hung: {crashed[:3]}"


INTERRUPT_CHILD = CHILD_PRELUDE + r'''
op, root, trigger = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
seen = {}
sys.addaudithook(seen.__setitem__)  # a C function: runs no Python code inside the walks
main = threading.main_thread().ident
started, finished = threading.Event(), threading.Event()
sent = []


call = OPS[op]


def reached():
    """The module's own code is running (no Python frame above the call)
    past the step named by the audit event."""
    if trigger:
        event, index, suffix = trigger
        if event not in seen or not str(seen[event][index]).endswith(suffix):
            return False
    return sys._current_frames()[main].f_code is call.__code__


def interrupt():
    started.wait()
    while not reached():
        if finished.is_set():
            return
        time.sleep(0.0005)
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)


threading.Thread(target=interrupt, daemon=True).start()
started.set()
try:
    call(PosixPath(root))
    result = {"raised": None}
except KeyboardInterrupt:
    result = {"raised": "KeyboardInterrupt", "latency": time.monotonic() - sent[0]}
finished.set()
result["sent"] = bool(sent)
print(json.dumps(result))
'''

# operation: (audit event, index of an argument, how that argument ends) after
# which the long walk starts: before it the module runs Python code (reading
# the manifest, pathlib methods), where SIGINT is handled anyway.
INTERRUPTS = {
    "remove-tree": None,
    "sweep": ("pathlib.Path.rglob", 1, "*"),
    "prune": ("pathlib.Path.rglob", 1, "*"),
    "collect": ("pathlib.Path.rglob", 1, "*"),
    "validate": ("open", 0, "manifest.json"),
}


@native_only
@pytest.mark.parametrize("op", INTERRUPTS)
def test_sigint_during_a_native_walk_raises_keyboard_interrupt_at_once(slow_trees, scratch, op):
    """The promise is 100 ms from SIGINT to KeyboardInterrupt; the bound of
    0.5 s absorbs the noise of a loaded machine. On the trees used here the
    walks take seconds when they do not stop."""
    if op == "remove-tree":
        root = scratch / "tree"
        build_files(root, 100, 1000)
        every = {f"d{i}" for i in range(100)}
        every |= {f"{d}/f{j}" for d in every for j in range(1000)}
    else:
        root = slow_trees["interrupt"]
    child = run_child(INTERRUPT_CHILD, op, root, json.dumps(INTERRUPTS[op]))
    assert child.returncode == 0, child.stderr[-2000:]
    result = json.loads(child.stdout)
    assert result["sent"], "the call ended before SIGINT was sent: nothing was tested"
    assert result["raised"] == "KeyboardInterrupt"
    assert result["latency"] < 0.5, f"KeyboardInterrupt {result['latency']:.2f} s after SIGINT"
    if op == "remove-tree":
        left = {}
        for dirpath, dirnames, filenames in os.walk(root):
            for name in dirnames + filenames:
                path = os.path.join(dirpath, name)
                content = None if name in dirnames else Path(path).read_bytes()
                left[os.path.relpath(path, root)] = content
        assert left, "the whole tree was deleted after SIGINT"
        assert set(left) <= every, "entries that were not in the tree were left behind"
        assert all(content in (None, b"x") for content in left.values())


# --- Permissions of another user ------------------------------------------------------

NOBODY = 65534
PERMISSION_CHILD = CHILD_PRELUDE + r'''
op, roots = sys.argv[1], sys.argv[2:]
# Pruning as a release build prunes: r is not admitted and goes.
OPS["prune-release"] = lambda root: pk.prune_templates_dir(
    root, profile="python-release", artifact="wheel", manifest_templates_dir=root)
# A Skill that may be listed, holding a directory that may not.
OPS["remove-tree-ok"] = lambda root: pk._remove_tree(root / "ok")
try:
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)
except OSError as e:
    print(json.dumps({"skip": str(e)}))
    sys.exit(0)


def normalized(value, root):
    if isinstance(value, (str, pathlib.PurePath)):
        return str(value).replace(root, "<root>")
    if isinstance(value, (list, tuple)):
        return [normalized(v, root) for v in value]
    return value


# Every step announced, in order: the listings, removals and opens.
events = []
sys.addaudithook(lambda event, args: event in ("os.scandir", "os.listdir", "os.remove",
                                               "os.rmdir", "open") and events.append(
    [event, str(args[0]) if isinstance(args[0], (str, pathlib.PurePath)) else None]))

outcomes = []
for cls, root in zip((PosixPath, MethodPath), roots):
    path = cls(root)
    del events[:]
    try:
        value = OPS[op](path / "s" if op == "remove-tree" else path)
        outcomes.append(["returned", normalized(value, root)])
    except Exception as e:
        outcomes.append(["raised", type(e).__name__, getattr(e, "errno", None),
                         normalized(getattr(e, "filename", None), root)])
    outcomes.append(normalized([e for e in events if e[1] is None or root in e[1]], root))
print(json.dumps({"outcomes": outcomes}))
'''
LOCKED_SKILL = {
    "manifest.json": {"skills": {
        **{n: {"reason": "r", "tier": "t", "wheel": True, "binary": True} for n in ("s", "ok")},
        "r": {"reason": "r", "tier": "t", "wheel": False},  # locked too, but never looked into
    }},
    "ok/SKILL.md": "", "ok/data/VERSION.json": "", "ok/x.pyc": "", "ok/sub/y.pyc": "",
    "r/SKILL.md": "", "r/data/VERSION.json": "",
    "s/SKILL.md": "", "s/data/VERSION.json": "", "s/x.pyc": "", "s/__pycache__/c.pyc": "",
}
LOCKED = ("r", "s", "s/__pycache__", "ok/sub")


@pytest.mark.parametrize("op", ["sweep", "prune", "prune-release", "collect", "remove-tree",
                                "remove-tree-ok", "list", "validate"])
@pytest.mark.parametrize("mode", [0o100, 0o300, 0o600], ids=oct)
def test_native_walks_and_method_path_agree_under_another_users_permissions(
        scratch, mktree, snapshot, mode, op):
    """The Skill directories r and s, the cache in s and ok/sub may be
    searched but not listed (0o100, 0o300) or listed but not searched
    (0o600) by the user the child runs as; r is not release-admitted, so the release check never
    looks into it. The same result, tree and audit events, a listing that
    fails included."""
    if os.geteuid() != 0:
        pytest.skip("changing to another user needs root")
    roots = []
    for copy in ("native", "method"):
        root = mktree(scratch / copy, LOCKED_SKILL)
        for dirpath, dirnames, filenames in os.walk(root):
            for name in [dirpath, *(os.path.join(dirpath, n) for n in dirnames + filenames)]:
                os.lchown(name, NOBODY, NOBODY)
        roots.append(root)
    for root in roots:
        for name in LOCKED:
            (root / name).chmod(mode)
    try:
        child = run_child(PERMISSION_CHILD, op, *roots)
    finally:
        for root in roots:
            for name in LOCKED:
                if os.path.lexists(root / name):
                    (root / name).chmod(0o755)
    assert child.returncode == 0, child.stderr[-2000:]
    result = json.loads(child.stdout)
    if "skip" in result:
        pytest.skip(f"cannot change to uid {NOBODY}: {result['skip']}")
    native, native_events, method, method_events = result["outcomes"]
    assert native == method
    assert snapshot(roots[0]) == snapshot(roots[1])
    assert native_events == method_events


# --- Path objects whose internal fields were never set --------------------------------

CALLS = {
    "load_release_manifest": lambda p, t: pk.load_release_manifest(p),
    "list_template_dirs": lambda p, t: pk.list_template_dirs(p),
    "skill_allowed": lambda p, t: pk.skill_allowed(
        "s", profile="binary-minimal", artifact="binary", templates_dir=p),
    "selected_skill_names-dev": lambda p, t: pk.selected_skill_names(
        profile="dev", artifact="binary", templates_dir=p),
    "selected_skill_names": lambda p, t: pk.selected_skill_names(
        profile="binary-minimal", artifact="binary", templates_dir=p),
    "collect_skill_datas": lambda p, t: pk.collect_skill_datas(profile="dev", templates_dir=p),
    "validate_release_manifest": lambda p, t: pk.validate_release_manifest(p),
    "prune_templates_dir": lambda p, t: pk.prune_templates_dir(p, profile="dev", artifact="binary"),
    "prune_templates_dir-manifest": lambda p, t: pk.prune_templates_dir(
        PosixPath(t), profile="binary-minimal", artifact="binary", manifest_templates_dir=p),
    "_remove_tree": lambda p, t: pk._remove_tree(p),
    "_is_packable_file": lambda p, t: pk._is_packable_file(p),
    "_remove_packaging_junk": lambda p, t: pk._remove_packaging_junk(p),
}
# Which of the fields a path is made of are set: CPython 3.11 keeps parsed
# parts, later interpreters the text the path was made from.
FIELDS = {
    "none": (),
    "str": ("_str",),
    "str-drive-root": ("_str", "_drv", "_root"),
    "str-parts": ("_str", "_parts") if sys.version_info < (3, 12) else ("_str", "_tail_cached"),
    "made-from": ("_parts",) if sys.version_info < (3, 12) else ("_raw_paths",),
}


@native_only
@pytest.mark.parametrize("fields", FIELDS)
@pytest.mark.parametrize("call", CALLS)
def test_path_without_its_fields_raises_what_pathlib_raises(tmp_path, mktree, snapshot,
                                                            call, fields):
    """Such an object, of exactly PosixPath, gets what the method path
    (pathlib's own members) gives for it: same exception and message, same
    tree left behind."""
    seen = []
    for cls in (PosixPath, MethodPath):
        root = mktree(tmp_path / cls.__name__, {**TARGET, "s/SKILL.md": ""})
        parts = list(PurePath(root).parts)
        values = {"_str": str(root), "_drv": "", "_root": "/", "_parts": parts,
                  "_tail_cached": parts[1:], "_raw_paths": [str(root)]}
        path = object.__new__(cls)
        for name in FIELDS[fields]:
            setattr(path, name, values[name])
        try:
            value = repr(CALLS[call](path, root)).replace(str(root), "<root>")
            outcome = ("returned", value.replace(cls.__name__, "<class>"))
        except Exception as e:
            assert not isinstance(e, SystemError), f"{type(e).__name__}: {e}"
            message = str(e).replace(f"'{cls.__module__}.{cls.__qualname__}'", "'<class>'")
            outcome = ("raised", type(e), message.replace(f"'{cls.__name__}'", "'<class>'"))
        seen.append((outcome, snapshot(root)))
    assert seen[0] == seen[1]
