"""Leak measurement for one repeated call.

`leaks(call, watched)` runs `call` until the interpreter's caches are warm,
then in several rounds, collecting garbage after each; it reports the
smallest growth of allocated blocks (`sys.getallocatedblocks`) between two
rounds and the growth of the reference counts of `watched` objects (None,
True, the arguments ...), whose leaked references allocate nothing. A real
leak grows in every round; caches and free lists settle after the warm-up,
so the smallest growth of a leak-free call is 0 or a few blocks.
"""

import array
import gc
import sys

WARMUP = 10
ROUNDS = 3
PER_ROUND = 40
TOLERANCE = PER_ROUND // 10  # blocks: a leak of one block per call is PER_ROUND


def run(call, times):
    for _ in range(times):
        try:
            call()
        except Exception:  # noqa: BLE001 - error paths are measured too
            pass


def leaks(call, watched=()):
    """(smallest block growth per round, {index: refcount growth}) of call().
    The measurements go into preallocated C arrays, so that keeping them
    allocates nothing between two measurements."""
    watched = (None, True, False, "", *watched)
    n = len(watched)
    blocks = array.array("q", bytes(8 * (ROUNDS + 1)))
    refs = array.array("q", bytes(8 * n * (ROUNDS + 1)))
    run(call, WARMUP)
    for r in range(ROUNDS + 1):
        if r:
            run(call, PER_ROUND)
        gc.collect()
        for i in range(n):
            refs[r * n + i] = sys.getrefcount(watched[i])
        blocks[r] = sys.getallocatedblocks()
    growth = min(blocks[r + 1] - blocks[r] for r in range(ROUNDS))
    ref_growth = {i: min(refs[(r + 1) * n + i] - refs[r * n + i] for r in range(ROUNDS))
                  for i in range(n)}
    return growth, {i: g for i, g in ref_growth.items() if g > 0}


def assert_no_leak(call, watched=()):
    """Fails when call() leaks; a measurement that looks like a leak is
    repeated once, since a real leak shows again and a burst of unrelated
    allocations (a cache filled, a lazy import) does not."""
    growth, refs = leaks(call, watched)
    if growth > TOLERANCE or refs:
        growth, refs = leaks(call, watched)
    assert growth <= TOLERANCE, f"{growth} blocks more after every {PER_ROUND} calls"
    assert not refs, f"references leaked per round (index of watched object: count): {refs}"
