"""Replays the fuzz corpus (fuzz/corpus/<harness>/, the interesting inputs
the fuzzers found) and a few hundred seeded random inputs through each
harness's checks, so every input that once mattered stays a regression
test, also where atheris is not installed and under the sanitizer build."""

import importlib
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


@pytest.mark.parametrize("harness", ["manifest", "skill_allowed", "arguments"])
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
