"""Leak measurement for one repeated call.

`leaks(call, watched)` runs `call` a few times to warm the interpreter's
caches, then in rounds, collecting garbage after each; it reports the
smallest growth of allocated blocks (`sys.getallocatedblocks`) between two
rounds and the smallest growth of the reference counts of `watched` objects
(None, True, the arguments ...), whose leaked references allocate nothing.

A real leak grows in every round. A leak-free call grows too while caches
and free lists fill (pathlib's, the interned strings, the type cache ...),
and how many rounds that takes depends on the interpreter: 3.11 settles
within two, 3.12 and 3.13 take up to a dozen for a call that creates and
deletes a tree. So the rounds go on until both minima are down to the
tolerance, and only a call that never gets there in MAX_ROUNDS counts as
leaking: a leak of one block or one reference per call shows PER_ROUND in
every round and cannot pass, and a cache that fills slowly cannot fail.
"""

import array
import gc
import sys

WARMUP = 10
MIN_ROUNDS = 3
MAX_ROUNDS = 30
PER_ROUND = 40
TOLERANCE = PER_ROUND // 10  # blocks: a leak of one block per call is PER_ROUND


def run(call, times):
    for _ in range(times):
        try:
            call()
        except Exception:  # noqa: BLE001 - error paths are measured too
            pass


def _smallest_growth(values, stride, offset, rounds):
    return min(values[(r + 1) * stride + offset] - values[r * stride + offset] for r in range(rounds))


def leaks(call, watched=()):
    """(smallest block growth per round, {index: smallest refcount growth}) of call().

    The measurements go into preallocated C arrays, and what is computed
    from them between two rounds is gone before the next measurement, so
    that keeping them allocates nothing between two measurements."""
    watched = (None, True, False, "", *watched)
    n = len(watched)
    blocks = array.array("q", bytes(8 * (MAX_ROUNDS + 1)))
    refs = array.array("q", bytes(8 * n * (MAX_ROUNDS + 1)))
    run(call, WARMUP)
    rounds = 0
    for r in range(MAX_ROUNDS + 1):
        if r:
            run(call, PER_ROUND)
        gc.collect()
        for i in range(n):
            refs[r * n + i] = sys.getrefcount(watched[i])
        blocks[r] = sys.getallocatedblocks()
        rounds = r
        if rounds >= MIN_ROUNDS and _smallest_growth(blocks, 1, 0, rounds) <= TOLERANCE and all(
            _smallest_growth(refs, n, i, rounds) <= 0 for i in range(n)
        ):
            break
    growth = _smallest_growth(blocks, 1, 0, rounds)
    ref_growth = {i: _smallest_growth(refs, n, i, rounds) for i in range(n)}
    return growth, {i: g for i, g in ref_growth.items() if g > 0}


def assert_no_leak(call, watched=()):
    growth, refs = leaks(call, watched)
    assert growth <= TOLERANCE, f"{growth} blocks more after every {PER_ROUND} calls"
    assert not refs, f"references leaked per round (index of watched object: count): {refs}"
