"""Builds a small spelling-to-sound model with OpenFst's fstcompile and
decodes a few words with it.

The model has one state: each letter maps to a phoneme (vowels to two
alternatives), and the letter pairs ch, sh, th and ph map to one phoneme
through cluster symbols, which the decoder offers beside the single letters.
"""

import subprocess
import sys
import tempfile
from pathlib import Path

import vurel

LETTERS = {
    "a": [("AE", 0.4), ("EY", 1.2)], "b": [("B", 0.1)], "c": [("K", 0.3), ("S", 1.0)],
    "d": [("D", 0.1)], "e": [("EH", 0.5), ("IY", 1.0)], "f": [("F", 0.1)],
    "g": [("G", 0.2)], "h": [("HH", 0.3)], "i": [("IH", 0.5), ("AY", 1.0)],
    "j": [("JH", 0.1)], "k": [("K", 0.1)], "l": [("L", 0.1)], "m": [("M", 0.1)],
    "n": [("N", 0.1)], "o": [("AA", 0.6), ("OW", 0.8)], "p": [("P", 0.1)],
    "q": [("K", 0.1)], "r": [("R", 0.1)], "s": [("S", 0.2), ("Z", 1.1)],
    "t": [("T", 0.1)], "u": [("AH", 0.5), ("UW", 0.9)], "v": [("V", 0.1)],
    "w": [("W", 0.1)], "x": [("K|S", 0.1)], "y": [("Y", 0.4), ("IY", 0.9)],
    "z": [("Z", 0.1)],
}
CLUSTERS = {"c|h": "CH", "s|h": "SH", "t|h": "TH", "p|h": "F"}


def write_model(directory: Path) -> Path:
    inputs = ["<eps>", "|", "_", *LETTERS, *CLUSTERS]
    outputs = ["<eps>", "|", "_"]
    arcs = [(g, p, w) for g, options in LETTERS.items() for p, w in options]
    arcs += [(g, p, 0.05) for g, p in CLUSTERS.items()]
    for _, p, _ in arcs:
        for name in [*p.split("|"), p]:
            if name not in outputs:
                outputs.append(name)
    (directory / "isyms.txt").write_text("".join(f"{s}\t{i}\n" for i, s in enumerate(inputs)))
    (directory / "osyms.txt").write_text("".join(f"{s}\t{i}\n" for i, s in enumerate(outputs)))
    (directory / "model.txt").write_text(
        "".join(f"0\t0\t{g}\t{p}\t{w}\n" for g, p, w in arcs) + "0\t0.5\n")
    model = directory / "model.fst"
    subprocess.run(
        ["fstcompile", "--isymbols=isyms.txt", "--osymbols=osyms.txt",
         "--keep_isymbols", "--keep_osymbols", "model.txt", "model.fst"],
        cwd=directory, check=True)
    return model


def main(words: list[str]) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        model = vurel.Model(str(write_model(Path(tmp))))
    for word in words or ["phone", "chess", "taxi", "thumb"]:
        for path in model.phoneticize_paths(word, nbest=2):
            phonemes = " ".join(model.find_osym(label) for label in path.uniques)
            print(f"{word}\t{path.path_weight:.3f}\t{phonemes}")


if __name__ == "__main__":
    main(sys.argv[1:])
