#!/usr/bin/env python3
"""Scores the two rankings of distinct pronunciations on held-out CMUdict words.

    .venv/py3.11/bin/python tools/score_rankings.py

Uses tools/train_cmudict.py's split (90/10 by word, its fixed random state)
and trains the stress-kept model on the 90% with vurel's trainer (or reuses
build/cmudict/stress-kept.fst when train_cmudict.py made it). Then, with no
lexicon, it decodes every held-out word's 10 best distinct pronunciations,
ranked by best path and by probability, and prints for each ranking the word
error rate of the first pronunciation and the oracle error rates at 5 and 10
(a word counts as right when any of its first k pronunciations is one of the
dictionary's variants), with the time each ranking took.
"""

import argparse
import json
import re
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import train_cmudict  # noqa: E402

import vurel  # noqa: E402


def references(path):
    """Each word's pronunciations, as tuples of phonemes."""
    found = {}
    for line in path.read_text(encoding="utf-8").splitlines():
        if not line.strip() or line.startswith(";;;"):
            continue
        head, *phonemes = line.split("#", 1)[0].split()
        found.setdefault(re.sub(r"\(\d+\)$", "", head), set()).add(tuple(phonemes))
    return found


def score(model, truth, ranking):
    g2p = vurel.G2P(model, lexicon=None, nbest=10, ranking=ranking)
    words = sorted(truth)
    errors = {1: 0, 5: 0, 10: 0}
    started = time.monotonic()
    for word, result in zip(words, g2p.pronounce_many(words)):
        predicted = [found.phonemes for found in result.pronunciations]
        for k in errors:
            errors[k] += not any(phonemes in truth[word] for phonemes in predicted[:k])
    seconds = time.monotonic() - started
    return {"ranking": ranking, "words": len(words), "seconds": round(seconds, 1),
            **{f"error_at_{k}": round(100.0 * count / len(words), 2) for k, count in errors.items()}}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work", type=Path, default=train_cmudict.ROOT / "build" / "cmudict")
    args = parser.parse_args()
    args.work.mkdir(parents=True, exist_ok=True)
    paths, _ = train_cmudict.split(train_cmudict.dictionary_file(args.work), args.work)
    model = args.work / "stress-kept.fst"
    if not model.exists():
        vurel.train(paths["train"], model)
    truth = references(paths["test"])
    results = [score(str(model), truth, ranking) for ranking in ("path", "probability")]
    print(json.dumps(results, indent=1))
    for result in results:
        print(f"ranking by {result['ranking']:<11}: WER {result['error_at_1']:.2f}%, oracle at 5 "
              f"{result['error_at_5']:.2f}%, at 10 {result['error_at_10']:.2f}% "
              f"({result['words']:,} words, {result['seconds']} s)")


if __name__ == "__main__":
    main()
