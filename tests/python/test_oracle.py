"""The best path of every word agrees with OpenFst's own command-line tools on a small
model with input clusters, output clusters, phonemes read without letters and backoff
arcs (see tools/crosscheck_openfst.py for the oracle)."""

from __future__ import annotations

import random
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from crosscheck_openfst import (  # noqa: E402
    InputClusters,
    crosscheck,
    parse_paths,
    read_symbols,
)

from vurel import Model  # noqa: E402

INPUT_SYMBOLS = ["<eps>", "|", "_", "a", "b", "c", "d", "a|b", "b|c", "a|b|c", "c|h"]
OUTPUT_SYMBOLS = ["<eps>", "|", "_", "A", "B", "C", "D", "E", "AB", "K|S", "H"]
WORDS = ["a", "ab", "abc", "bca", "cab", "abcabc", "dcba", "aabbcc", "bbb", "cdcd",
         "abcd", "dab", "ch", "acb", "babc", "ccc", "adad", "bcbcab", "dddd", "cabbage"]


def _model_text() -> str:
    """Three history states; every grapheme and cluster has arcs from each, phonemes
    are emitted without letters (input epsilon), and each history backs off to state 0
    by an epsilon arc. Weights come from a fixed random state, so near ties are rare."""
    weights = random.Random(7)
    graphemes = INPUT_SYMBOLS[3:]
    phonemes = OUTPUT_SYMBOLS[2:]
    lines = []
    for state in range(3):
        for grapheme in graphemes:
            for phoneme in weights.sample(phonemes, 3):
                target = weights.randrange(3)
                lines.append(f"{state}\t{target}\t{grapheme}\t{phoneme}\t{weights.uniform(0.5, 4):.4f}")
        # Phonemes read without letters, always into a history state after this one,
        # so input-epsilon paths cannot loop.
        if state < 2:
            lines.append(f"{state}\t{state + 1}\t<eps>\t{weights.choice(phonemes)}\t{weights.uniform(1, 3):.4f}")
        if state > 0:
            lines.append(f"{state}\t0\t<eps>\t<eps>\t{weights.uniform(0.2, 1):.4f}")
        lines.append(f"{state}\t{weights.uniform(0, 2):.4f}")
    return "\n".join(lines) + "\n"


@pytest.fixture(scope="module")
def oracle_model(tmp_path_factory) -> Path:
    directory = tmp_path_factory.mktemp("oracle")
    for name, symbols in (("isyms.txt", INPUT_SYMBOLS), ("osyms.txt", OUTPUT_SYMBOLS)):
        (directory / name).write_text("".join(f"{s}\t{i}\n" for i, s in enumerate(symbols)))
    path = directory / "model.fst"
    subprocess.run(["fstcompile", f"--isymbols={directory / 'isyms.txt'}",
                    f"--osymbols={directory / 'osyms.txt'}", "--keep_isymbols", "--keep_osymbols",
                    "-", str(path)], input=_model_text().encode(), check=True)
    return path


def test_best_paths_agree_with_openfst(oracle_model):
    verdicts = crosscheck(oracle_model, WORDS, jobs=1)
    disagreements = [v for v in verdicts if v.outcome in ("weight", "labels")]
    assert disagreements == []
    # Most words must really be compared: ties and words without a path prove nothing.
    assert sum(v.outcome == "agree" for v in verdicts) >= len(WORDS) - 3


def test_vurel_writes_the_acceptor_the_oracle_builds(oracle_model, tmp_path, monkeypatch):
    clusters = InputClusters.from_symbols(read_symbols(oracle_model))
    assert clusters.longest == 3
    model = Model(str(oracle_model))
    monkeypatch.chdir(tmp_path)
    for word in ("abc", "abcabc", "cch", "dab"):
        model.phoneticize_paths(word, write_fsts=True)
        expected = tmp_path / "expected.fst"
        subprocess.run(["fstcompile", "-", str(expected)],
                       input=clusters.acceptor_text(word).encode(), check=True)
        equal = subprocess.run(["fstequal", str(expected), str(tmp_path / f"{word}.fst")])
        assert equal.returncode == 0, word


def test_parse_paths_reads_weights_finals_and_drops_epsilons():
    # Two paths as fstprint --numeric prints an n-shortest-paths result: the start state
    # first, arcs without a weight field weigh 0, final weights end each path.
    printed = "\n".join([
        "0\t1\t0\t0", "0\t2\t0\t0\t0.5",
        "1\t3\t3\t4\t1.25", "3\t5\t0\t0\t0.5", "5",
        "2\t4\t3\t5\t0.25", "4\t0.125",
    ])
    paths = parse_paths(printed)
    assert [(p.weight, p.olabels) for p in paths] == [(0.875, [5]), (1.75, [4])]
    assert parse_paths("") == []
