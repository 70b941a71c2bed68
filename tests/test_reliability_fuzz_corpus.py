"""Replays the fuzz corpus (fuzz/corpus/<harness>/, the interesting inputs
the fuzzers found) and a few hundred seeded random inputs through each
harness's checks, so every input that once mattered stays a regression
test, also where atheris is not installed and under the sanitizer build."""

import importlib
import os
import random
import sys
from pathlib import Path

import pytest

FUZZ = Path(__file__).resolve().parents[1] / "fuzz"
sys.path.insert(0, str(FUZZ))
RANDOM_INPUTS = 150


def inputs(harness):
    corpus = FUZZ / "corpus" / harness
    for path in sorted(corpus.iterdir()):
        yield path.name, path.read_bytes()
    rnd = random.Random(harness)
    for i in range(RANDOM_INPUTS):
        yield f"random-{i}", bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 200)))


@pytest.mark.parametrize("harness", ["manifest", "skill_allowed", "arguments", "function_objects"])
def test_fuzz_inputs_replay_cleanly(monkeypatch, harness):
    for variable in ("ZAVRIK_SKILL_PROFILE", "ZAVRIK_BUILTIN_TEMPLATES_DIR", "ZAVRIK_CENTRAL_SKILLS_DIR"):
        monkeypatch.setenv(variable, "")  # the harnesses set them; restored afterwards
    module = importlib.import_module(f"fuzz_{harness}")
    failures = []
    for name, data in inputs(harness):
        try:
            module.test_one_input(data)
        except AssertionError as e:
            failures.append(f"{name}: {e}"[:500])
    assert not failures, "\n".join(failures)


@pytest.mark.skipif(not os.environ.get("ZAVRIK_EXPECT_SANITIZED"), reason="only under scripts/sanitize.sh")
def test_the_sanitizer_run_tests_the_instrumented_build():
    import zavrik.skills.packaging as pk

    with open("/proc/self/maps") as maps:
        loaded = maps.read()
    assert "libasan" in loaded and "libubsan" in loaded
    assert b"__asan_report" in Path(pk.__file__).read_bytes() and b"__ubsan_handle" in Path(pk.__file__).read_bytes()
