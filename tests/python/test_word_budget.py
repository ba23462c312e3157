"""Whatever nbest asks for, up to 2**64 - 1, decoding a word stays within the word budget
(VUREL_WORD_BUDGET_MB) and answers as the reference engine (VUREL_ENGINE=reference) does."""

import json
import os
import subprocess
import sys

import pytest

from conftest import fst_file_bytes, INPUT_SYMBOLS, OUTPUT_SYMBOLS

A, B, K = OUTPUT_SYMBOLS.index("A"), OUTPUT_SYMBOLS.index("B"), OUTPUT_SYMBOLS.index("K")
LETTER_A, LETTER_B = INPUT_SYMBOLS.index("a"), INPUT_SYMBOLS.index("b")

# Run in a child whose address space may grow by at most `growth` bytes past what it maps once
# vurel is loaded: an allocation beyond that fails, and the child with it.
CHILD = """
import json, resource, sys
from vurel import Model

path, word, nbest, accumulate, growth = sys.argv[1:]
model = Model(path)
with open("/proc/self/status") as status:
    mapped = next(int(line.split()[1]) << 10 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (mapped + int(growth), mapped + int(growth)))
records = model.phoneticize_paths(word, nbest=int(nbest), accumulate=accumulate == "1")
print(json.dumps([[p.path_weight, p.path_weights, p.ilabels, p.olabels, p.uniques] for p in records]))
"""


def _looping_model(loop_state, loop_weight):
    """0 -a:A/1-> 1 -b:K/0.25-> 1, 1 final, and a loop writing B without reading at `loop_state`."""
    states = [(None, [(LETTER_A, A, 1.0, 1)]), (0.0, [(LETTER_B, K, 0.25, 1)])]
    states[loop_state][1].insert(0, (0, B, loop_weight, loop_state))
    return fst_file_bytes(states, INPUT_SYMBOLS, OUTPUT_SYMBOLS)


# AddressSanitizer's redzones and quarantine take more memory than any budget allows for.
pytestmark = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                                reason="a limit on the address space measures the sanitizer")


def _decode_in_child(path, word, nbest, accumulate, megabytes, engine):
    env = {**os.environ, "VUREL_WORD_BUDGET_MB": str(megabytes)}
    env.pop("VUREL_ENGINE", None)
    if engine == "reference":
        env["VUREL_ENGINE"] = "reference"
    # The budget, and room for the records the reference reads, which a fixed budget of its own
    # bounds.
    growth = (megabytes + 256) << 20
    child = subprocess.run(
        [sys.executable, "-c", CHILD, path, word, str(nbest), "1" if accumulate else "0", str(growth)],
        capture_output=True, text=True, env=env, timeout=300)
    assert child.returncode == 0, f"{engine}: {child.stderr[-2000:]}"
    return json.loads(child.stdout)


@pytest.mark.parametrize("loop_state, loop_weight, word, megabytes", [
    # every path a new, longer pronunciation: records kept without bound
    (1, 0.5, "a", 64),
    # paths of equal weight: one run of them read whole
    (0, 0.0, "ab", 512),
])
@pytest.mark.parametrize("nbest, accumulate", [(100_000, False), (2**40, True), (2**64 - 1, False)])
def test_endless_paths_stay_within_the_word_budget(write_model, loop_state, loop_weight, word,
                                                   megabytes, nbest, accumulate):
    path = write_model(_looping_model(loop_state, loop_weight))
    reference = _decode_in_child(path, word, nbest, accumulate, megabytes, "reference")
    assert reference, "the reference found no path"
    assert _decode_in_child(path, word, nbest, accumulate, megabytes, "auto") == reference
