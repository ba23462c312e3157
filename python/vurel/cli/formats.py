"""The records ``vurel g2p`` writes for a word, in each output format."""

from __future__ import annotations

import json
import math
import re

from vurel.g2p import WordResult


# Backslash escapes for the characters that would split a TSV or dict
# record, and for NUL, which many text tools take for an end; a dict record
# also ends its word at a space. Few words hold any, and looking for them
# costs much less than a translation.
_TSV_ESCAPES = {ord("\\"): "\\\\", ord("\t"): "\\t", ord("\n"): "\\n", ord("\r"): "\\r", 0: "\\0"}
_DICT_ESCAPES = {**_TSV_ESCAPES, ord(" "): "\\s"}
_TSV_ESCAPED = re.compile(r"[\\\t\n\r\0]")
_DICT_ESCAPED = re.compile(r"[\\\t\n\r\0 ]")
MISSING = "none"


def _tsv_escaped(word: str) -> str:
    return word.translate(_TSV_ESCAPES) if _TSV_ESCAPED.search(word) else word


def _dict_escaped(word: str) -> str:
    return word.translate(_DICT_ESCAPES) if _DICT_ESCAPED.search(word) else word


def _shown_probability(probability: float | None) -> str:
    """A probability as output shows it; "-" for a lexicon entry, which has
    none, and for a word whose probabilities are undefined."""
    return "-" if probability is None else f"{probability:.4f}"


class Formatter:
    """Turns one word's pronunciations into output lines. Every layout says
    where each pronunciation came from, and adds the IPA when asked. A word
    without pronunciation gets a JSON Lines record with its problem, and
    with ``every_word`` a line in the other layouts too (source "none")."""

    def __init__(self, layout: str, every_word: bool = False, ipa: bool = False,
                 probabilities: bool = False) -> None:
        self.layout = layout
        self.every_word = every_word
        self.ipa = ipa
        self.probabilities = probabilities

    def missing(self, result: WordResult) -> list[str]:
        if self.layout == "jsonl":
            record = {"word": result.word, "rank": None, "weight": None, "phonemes": [], "source": None,
                      "problem": result.problem}
            return [json.dumps(record, ensure_ascii=False)]
        if not self.every_word:
            return []
        if self.layout == "tsv":
            empty = [""] * (self.ipa + self.probabilities)
            return ["\t".join([_tsv_escaped(result.word), "", "", MISSING] + empty)]
        return [f"{_dict_escaped(result.word)} # {MISSING}: {result.problem}"]

    def lines(self, result: WordResult) -> list[str]:
        if self.layout == "tsv":
            return self._tsv_lines(result)
        if self.layout == "dict":
            return self._dict_lines(result)
        return self._jsonl_lines(result)

    # A run writes a line for every pronunciation: the word's escaping is
    # done once per word, and each line is one f-string.
    def _tsv_lines(self, result: WordResult) -> list[str]:
        word = _tsv_escaped(result.word)
        lines = []
        for found in result.pronunciations:
            line = f"{word}\t{found.weight:.4f}\t{' '.join(found.phonemes)}\t{found.source}"
            if found.ipa is not None:
                line += "\t" + found.ipa
            if self.probabilities:
                line += "\t" + _shown_probability(found.probability)
            lines.append(line)
        return lines

    def _dict_lines(self, result: WordResult) -> list[str]:
        word = _dict_escaped(result.word)
        lines = []
        for rank, found in enumerate(result.pronunciations, start=1):
            head = word if rank == 1 else f"{word}({rank})"
            comment = found.source if found.ipa is None else f"{found.source} /{found.ipa}/"
            if self.probabilities:
                comment += f" p={_shown_probability(found.probability)}"
            lines.append(f"{head} {' '.join(found.phonemes)} # {comment}")
        return lines

    def _jsonl_lines(self, result: WordResult) -> list[str]:
        lines = []
        for rank, found in enumerate(result.pronunciations, start=1):
            record: dict[str, object] = {
                "word": result.word,
                "rank": rank,
                "weight": found.weight if math.isfinite(found.weight) else None,
                "phonemes": list(found.phonemes),
                "source": found.source,
            }
            if found.ipa is not None:
                record["ipa"] = found.ipa
            if self.probabilities:
                record["probability"] = found.probability
            if result.problem is not None:
                record["problem"] = result.problem
            if result.dropped:
                record["dropped"] = result.dropped
            lines.append(json.dumps(record, ensure_ascii=False))
        return lines
