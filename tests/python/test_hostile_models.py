"""Model files that cannot be decoded safely are refused at load with a ValueError;
odd but decodable ones load."""

import math
import struct

import pytest

from conftest import INPUT_SYMBOLS, OUTPUT_SYMBOLS, fst_file_bytes
from vurel import Model

A, K = OUTPUT_SYMBOLS.index("A"), OUTPUT_SYMBOLS.index("K")


# 0 -a:A/1-> 1 (final); state 1 and 2 are joined by arcs that read nothing.
def _with_epsilon_cycle(forward, back):
    return fst_file_bytes(
        [(None, [(3, 3, 1.0, 1)]), (0.0, [(0, 5, forward, 2)]), (None, [(0, 0, back, 1)])],
        INPUT_SYMBOLS, OUTPUT_SYMBOLS)


def test_negative_epsilon_cycle_is_refused(write_model):
    with pytest.raises(ValueError) as error:
        Model(write_model(_with_epsilon_cycle(0.5, -1.0)))
    assert str(error.value) == (
        "model has a cycle of input-epsilon arcs with negative weight through state 1: "
        "its best paths are undefined")


def _best_three(model):
    return [(path.path_weight, list(path.uniques)) for path in model.phoneticize_paths("a", nbest=3)]


@pytest.mark.parametrize("forward, back, expected", [
    # each round of the cycle adds 0.25 and writes K
    (0.5, -0.25, [(1.0, [A]), (1.25, [A, K]), (1.5, [A, K, K])]),
    # NaN and -inf make the search fail at once
    (math.nan, -1.0, []),
    (-math.inf, 1.0, []),
])
def test_cycles_that_end_or_fail_at_once_load(write_model, forward, back, expected):
    model = Model(write_model(_with_epsilon_cycle(forward, back)))
    assert _best_three(model) == expected


def test_a_cycle_of_weight_zero_gives_pronunciations_of_equal_weight(write_model):
    model = Model(write_model(_with_epsilon_cycle(0.0, 0.0)))
    best = _best_three(model)
    assert [weight for weight, _ in best] == [1.0, 1.0, 1.0]
    assert all(uniques == [A] + [K] * (len(uniques) - 1) for _, uniques in best)
    assert len({len(uniques) for _, uniques in best}) == 3


def test_false_property_claims_are_ignored(write_model):
    data = bytearray(fst_file_bytes([(None, [(3, 3, 1.0, 1)]), (0.0, [(3, 3, 1.0, 0)])],
                                    INPUT_SYMBOLS, OUTPUT_SYMBOLS))
    # properties field after magic, "vector", "standard", version and flags
    offset = 4 + 4 + 6 + 4 + 8 + 4 + 4
    claims = (1 << 35) | (1 << 38) | (1 << 47)  # acyclic, top sorted, unweighted cycles
    data[offset:offset + 8] = struct.pack("<Q", claims)
    model = Model(write_model(bytes(data)))
    assert model.phoneticize("aaa") == ["A", "A", "A"]
