#!/usr/bin/env python3
"""Writes the dictionary fuzzer's initial corpus: small dictionaries in both
formats, with and without stress marks, variants, comments and malformed
lines, each behind a first byte that picks the training options.

Usage: make_dictionary_corpus.py DIRECTORY
"""

import sys
from pathlib import Path

DICTIONARIES = {
    "cmu": ";;; comment\nCAT  K AE1 T\nCATS  K AE1 T S\nTAX  T AE1 K S\nACT  AE1 K T\n"
           "READ  R EH1 D\nREAD(2)  R IY1 D\nAXE  AE1 K S # note\n",
    "tsv": "cat\tK AE T\ncats\tK AE T S\ntax\tT AE K S\nact\tAE K T\nthe\tDH AH\nthe\tDH IY\n",
    "unicode": "café\tk a f e\nœuvre\tœ v ʁ\nnaïve\tn a i v\n",
    "malformed": "CAT\nDOG  D AO1 G\n\tK\nA|B  A\nX_Y  K\nQ(2)\n",
    "stress": "ABOUT  AH0 B AW1 T\nAGAIN  AH0 G EH1 N\nBANANA  B AH0 N AE1 N AH0\nOK  OW2 K EY1\n",
    "long": "ABCDEFGHIJKLMNOPQRSTUVWXYZ  " + " ".join(["AH0"] * 40) + "\n",
}
OPTION_BYTES = [0x00, 0x04, 0x09, 0x34, 0x5D, 0xC4]


def main():
    directory = Path(sys.argv[1])
    directory.mkdir(parents=True, exist_ok=True)
    for name, text in DICTIONARIES.items():
        for option in OPTION_BYTES:
            (directory / f"{name}-{option:02x}").write_bytes(bytes([option]) + text.encode())


if __name__ == "__main__":
    main()
