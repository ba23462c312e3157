#!/usr/bin/env python3
"""Writes the text fuzzer's initial corpus: texts for the word segmenter
(first byte even) in several scripts, with marks inside words, emoji and
invalid UTF-8; and numbers for the speller (first byte odd), each behind
bytes that pick a language, a rule set and whether the number is taken as
given or made into the speller's grammar.

Usage: make_text_corpus.py DIRECTORY
"""

import sys
from pathlib import Path

TEXTS = {
    "english": "Dr. Smith paid $4.50 on Dec. 9th, 2026; NASA and the FBI met at 10:30.".encode(),
    "marks": "don't rock'n'roll e-mail state-of-the-art U.S. 1,234.5 -5 °C 10-12 km/h ½".encode(),
    "scripts": "Привет, мир! ١٢٫٥ سلام ۱۴۰۲/۰۵/۱۲ 日本語のテキスト 한국어".encode(),
    "emoji": "👍🏽 👨‍👩‍👧 🇩🇪 e\u0301 \u200d\u00ad".encode(),
    "invalid": b"caf\xc3 \xff\xfe \xed\xa0\x80 \xf4\x90\x80\x80 ok",
    "controls": b"a\x00b\x07c\r\n\td\x1b[0m",
}
# (language index, rule set index, number as given or made into the grammar, number).
NUMBERS = [
    (4, 0, 0, b"2026"), (4, 3, 0, b"-1234.5"), (3, 5, 0, b"21"), (12, 30, 0, b"1990"),
    (2, 2, 0, b"1000000"), (6, 0, 0, b"999999999999999999999"), (0, 1, 0, b"0.000001"),
    (14, 3, 1, b"\x09\x09\x09\x09\x09\x09\x09\x09\x09\x09\x09\x09\x09\x09\x09\x09\x09\x09\x09\x09"),
    (7, 1, 0, b"1e5"), (11, 2, 0, b"--1"), (10, 0, 0, b"1.2.3"), (9, 4, 0, b""),
]


def main():
    directory = Path(sys.argv[1])
    directory.mkdir(parents=True, exist_ok=True)
    for name, text in TEXTS.items():
        (directory / f"text-{name}").write_bytes(b"\x00" + text)
    for index, (language, rule_set, made, number) in enumerate(NUMBERS):
        (directory / f"number-{index}").write_bytes(bytes([1, language, rule_set, made]) + number)


if __name__ == "__main__":
    main()
