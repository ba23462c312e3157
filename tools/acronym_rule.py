"""Measures the rule that decides whether a word in capitals is read as a word or spelled.

Usage: .venv/py3.11/bin/python tools/acronym_rule.py [--lang en]

The lexicon is in lower case, so its acronyms are found by their pronunciations: an entry
of two to six letters whose pronunciation is its letters' names one after the other (the
language's letter names, pronounced by the lexicon; stress marks ignored) is spelled
(fbi, ibm). Its other entries of three to six letters are read as words (nasa, cat). The
rule (`vurel.text.pipeline.reads_as_word`) is then asked about each, in capitals, and
the share it gets right is printed for each group.
"""

from __future__ import annotations

import argparse
import itertools
import re

from vurel import languages
from vurel.text.conventions import conventions
from vurel.text.pipeline import reads_as_word

_STRESS = re.compile(r"[0-9ˈˌ'²]")


def plain(phonemes: tuple[str, ...]) -> tuple[str, ...]:
    return tuple(_STRESS.sub("", p) for p in phonemes if _STRESS.sub("", p))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--lang", default="en")
    args = parser.parse_args()
    lexicon = languages.get(args.lang).lexicon()
    rules = conventions(args.lang)
    names: dict[str, list[tuple[str, ...]]] = {}
    for letter, name in rules.letter_names.items():
        parts = [lexicon.get(part) for part in re.split(r"[-\s]", name)]
        if all(parts):
            names[letter] = [tuple(p for chosen in combination for p in plain(chosen))
                             for combination in itertools.product(*parts)]
    spelled, read = [], []
    for word, variants in lexicon.items():
        if not word.isalpha() or not 2 <= len(word) <= 6 or any(letter not in names for letter in word):
            continue
        spellings = {tuple(p for part in combination for p in part)
                     for combination in itertools.product(*(names[letter] for letter in word))}
        if plain(variants[0]) in spellings:
            spelled.append(word)
        elif len(word) >= 3:
            read.append(word)
    right_spelled = sum(not reads_as_word(word.upper(), args.lang) for word in spelled)
    right_read = sum(reads_as_word(word.upper(), args.lang) for word in read)
    print(f"{args.lang}: {len(spelled):,} entries spelled in the lexicon, {right_spelled:,} "
          f"({right_spelled / max(1, len(spelled)):.1%}) spelled by the rule")
    print(f"{args.lang}: {len(read):,} entries of 3 to 6 letters read as words, {right_read:,} "
          f"({right_read / max(1, len(read)):.1%}) read as words by the rule")
    wrong = [word.upper() for word in spelled if reads_as_word(word.upper(), args.lang)][:15]
    print(f"  spelled in the lexicon, read by the rule: {' '.join(wrong)}")


if __name__ == "__main__":
    main()
