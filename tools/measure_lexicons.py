#!/usr/bin/env python3
"""Measures, in each installed language's lexicon, the patterns that follow
the spelling rather than the sound, and what the language's cleaning rules
change.

    .venv/py3.11/bin/python tools/measure_lexicons.py [CODE ...] [--json]

For each language (default: every installed one of the registry) it counts,
in the lexicon as its package has it: entries with a phoneme written twice in
a row, split into consonants and vowels with the most frequent of each;
entries with two consonants that differ only in voicing side by side (``s z``,
``t d``: rare in speech, common where a spelling has ``ss`` or a join); and
for each of the language's cleaning rules the entries it changes, the rules
before it applied. The registry's ``Rewrite``/``Undouble`` counts come from
this output.
"""

import argparse
import collections
import json
import sys

from vurel import languages

# Consonants that differ only in voicing, in both orders.
VOICING = [("p", "b"), ("t", "d"), ("k", "ɡ"), ("k", "g"), ("f", "v"), ("s", "z"), ("ʃ", "ʒ")]
VOICING_PAIRS = {pair for voiceless, voiced in VOICING for pair in ((voiceless, voiced), (voiced, voiceless))}


def measure(language):
    doubled = {"consonant": collections.Counter(), "vowel": collections.Counter()}
    entries_doubled = {"consonant": 0, "vowel": 0}
    voicing = collections.Counter()
    total = 0
    for _, phonemes in language.entries(cleaned=False):
        total += 1
        kinds = {}
        for first, second in zip(phonemes, phonemes[1:]):
            if first == second:
                # ARPAbet's capitals begin with the IPA letter of most consonants.
                letter = first[0].lower() if language.notation == "ARPAbet" else first[0]
                kind = "consonant" if letter in languages.IPA_CONSONANTS else "vowel"
                kinds.setdefault(kind, set()).add(first)
        for kind, found in kinds.items():
            entries_doubled[kind] += 1
            doubled[kind].update(found)
        voicing.update({pair for pair in zip(phonemes, phonemes[1:]) if pair in VOICING_PAIRS})
    return {
        "code": language.code, "entries": total,
        "doubled_consonant_entries": entries_doubled["consonant"],
        "doubled_consonants": doubled["consonant"].most_common(8),
        "doubled_vowel_entries": entries_doubled["vowel"], "doubled_vowels": doubled["vowel"].most_common(5),
        "voicing_pairs": [(" ".join(pair), count) for pair, count in voicing.most_common(6)],
        "rules": [(rule.describe(), count) for rule, count in zip(language.cleaning, language.changes())],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("codes", nargs="*", help="languages to measure (default: every installed one)")
    parser.add_argument("--json", action="store_true", help="print one JSON object per language")
    args = parser.parse_args()
    chosen = [languages.get(code) for code in args.codes] or list(languages.LANGUAGES.values())
    for language in chosen:
        if not language.installed():
            print(f"{language.code}: {language.package} is not installed, skipped", file=sys.stderr)
            continue
        row = measure(language)
        if args.json:
            print(json.dumps(row, ensure_ascii=False))
            continue
        def listed(pairs):
            return ", ".join(f"{what} {count:,}" for what, count in pairs) or "none"
        print(f"{row['code']}: {row['entries']:,} entries; doubled consonants in {row['doubled_consonant_entries']:,} "
              f"({listed(row['doubled_consonants'])}); doubled vowels in {row['doubled_vowel_entries']:,} "
              f"({listed(row['doubled_vowels'])}); voicing pairs: {listed(row['voicing_pairs'])}; "
              f"rules: {listed(row['rules'])}")


if __name__ == "__main__":
    main()
