#!/usr/bin/env python3
"""Writes the fuzzer's initial corpus: small valid model files and malformed ones.

Usage: make_initial_corpus.py DIRECTORY
"""

import math
import struct
import sys
from pathlib import Path

FST_MAGIC = 0x7EB2FDD6
SYMBOLS_MAGIC = 0x7EB2FB74
GRAPHEMES = ["<eps>", "|", "_", "a", "b", "c", "a|b"]
PHONEMES = ["<eps>", "|", "_", "A", "B", "K", "A|B"]


def string(text):
    data = text.encode() if isinstance(text, str) else text
    return struct.pack("<i", len(data)) + data


def symbol_table(symbols, keys=None):
    keys = range(len(symbols)) if keys is None else keys
    data = struct.pack("<i", SYMBOLS_MAGIC) + string("symbols") + struct.pack("<qq", len(symbols), len(symbols))
    for text, key in zip(symbols, keys):
        data += string(text) + struct.pack("<q", key)
    return data


def fst_file(states, isyms=GRAPHEMES, osyms=PHONEMES, start=0, version=2, flags=None, num_states=None,
             fst_type="vector", arc_type="standard", magic=FST_MAGIC, properties=0):
    """states: list of (final weight or None, [(ilabel, olabel, weight, next state)])."""
    if flags is None:
        flags = (1 if isyms is not None else 0) | (2 if osyms is not None else 0)
    data = struct.pack("<i", magic) + string(fst_type) + string(arc_type)
    data += struct.pack("<iiQqqq", version, flags, properties, start,
                        len(states) if num_states is None else num_states,
                        sum(len(arcs) for _, arcs in states))
    if flags & 1 and isyms is not None:
        data += symbol_table(isyms)
    if flags & 2 and osyms is not None:
        data += symbol_table(osyms)
    for final, arcs in states:
        data += struct.pack("<fq", math.inf if final is None else final, len(arcs))
        for arc in arcs:
            data += struct.pack("<IIfI", *arc)
    return data


def corpus():
    one_state = [(0.0, [(3, 3, 1.0, 0), (4, 4, 1.0, 0), (5, 5, 0.5, 0), (6, 6, 0.25, 0), (3, 0, 2.0, 0)])]
    chain = [(None, [(3, 3, 1.0, 1), (6, 6, 1.5, 2)]), (None, [(4, 4, 1.0, 2)]),
             (0.25, [(5, 5, 0.5, 3), (0, 5, 1.0, 3)]), (0.0, [])]
    backoff = [(None, [(3, 3, 1.0, 1), (0, 0, 0.7, 2)]), (0.5, [(0, 0, -0.3, 2), (4, 4, 1.0, 1)]),
               (0.0, [(3, 3, 2.0, 1), (4, 4, 2.0, 1), (5, 5, 2.0, 2)])]
    yield "valid-one-state", fst_file(one_state)
    yield "valid-chain", fst_file(chain)
    yield "valid-backoff", fst_file(backoff)
    yield "valid-positive-epsilon-loop", fst_file([(None, [(3, 3, 1.0, 1)]), (0.0, [(0, 4, 0.5, 1)])])
    yield "valid-nan-final", fst_file([(None, [(3, 3, 1.0, 1)]), (math.nan, [])])
    yield "valid-nan-arcs", fst_file([(0.0, [(3, 3, math.nan, 0), (4, 4, -math.inf, 0), (0, 5, math.nan, 0)])])
    yield "valid-unsorted-equal-labels", fst_file([(0.0, [(5, 5, 1.0, 0), (3, 4, 1.0, 0), (3, 3, 0.5, 0)])])
    yield "valid-flags-4", fst_file(one_state, isyms=None, osyms=None, flags=4)
    yield "valid-no-start", fst_file(one_state, start=-1)
    yield "valid-empty", fst_file([], start=-1)
    yield "valid-version-3-trailing-bytes", fst_file(chain, version=3) + b"trailing"
    yield "rejected-negative-epsilon-cycle", fst_file([(None, [(3, 3, 1.0, 1)]), (0.0, [(0, 4, 0.5, 2)]),
                                                      (None, [(0, 0, -1.0, 1)])])
    yield "rejected-no-output-table", fst_file(one_state, osyms=None)
    yield "rejected-no-tables", fst_file(one_state, isyms=None, osyms=None)
    yield "rejected-arc-to-missing-state", fst_file([(0.0, [(3, 3, 1.0, 7)])])
    yield "rejected-missing-start", fst_file(one_state, start=5)
    yield "rejected-magic", fst_file(one_state, magic=0x12345678)
    yield "rejected-fst-type", fst_file(one_state, fst_type="const")
    yield "rejected-arc-type", fst_file(one_state, arc_type="log")
    yield "rejected-version-1", fst_file(one_state, version=1)
    yield "rejected-flags-8", fst_file(one_state, flags=8)
    yield "rejected-lying-state-count", fst_file(one_state, num_states=1 << 40)
    yield "rejected-truncated", fst_file(chain)[:-7]
    yield "rejected-symbol-hole", fst_file([]).replace(symbol_table(GRAPHEMES),
                                                         symbol_table(GRAPHEMES, [0, 1, 3, 4, 5, 6, 7]))
    yield "rejected-repeated-symbol", fst_file([], isyms=["<eps>", "a", "a"])
    yield "rejected-not-utf8", fst_file([], isyms=["<eps>", b"\xff\xfe"])
    yield "rejected-negative-string-length", struct.pack("<i", FST_MAGIC) + struct.pack("<i", -4)
    yield "rejected-lying-arc-count", fst_file([(0.0, [])])[:-8] + struct.pack("<q", 1 << 60)
    yield "rejected-short", b"\xd6\xfd"


def main():
    directory = Path(sys.argv[1])
    directory.mkdir(parents=True, exist_ok=True)
    for name, data in corpus():
        (directory / name).write_bytes(data)


if __name__ == "__main__":
    main()
