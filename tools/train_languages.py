#!/usr/bin/env python3
"""Trains and scores the model of every installed language of the registry.

    .venv/py3.11/bin/python tools/train_languages.py [CODE ...] [-- TRAINER OPTIONS]

Run it with the Python of an environment where vurel and the languages' data
packages are installed (``pip install ".[languages]"``). For each language it
reads the lexicon as the first use does (same spelling, same entries
skipped), splits its words 90/10 with a fixed random state (all variants of a
word on the same side), trains the language's recipe with the installed
``vurel-train`` under /usr/bin/time -v (wall time and peak memory), scores the
held-out words with the trainer's evaluate (WER and PER, and the WER with
stress marks taken off predictions and references alike), then loads the
model in a fresh process for its resident memory and decodes every held-out
word once with ``Model.phoneticize`` at nbest 1 for words per second. A language
whose lexicon is cleaned is also trained and scored on the lexicon as its
package has it, on the same words, for the WER before cleaning. Prints
the README's table; everything is written under build/languages/ (override
with --work). Options after ``--`` are added to every recipe, to try other
settings.
"""

import argparse
import json
import random
import re
import subprocess
import sys
import time
from pathlib import Path

from vurel import languages, training

ROOT = Path(__file__).resolve().parent.parent
RANDOM_STATE = 5
TEST_SHARE = 0.1

MEASURE = r"""
import sys, time
def rss_kib():
    for line in open("/proc/self/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
from vurel import Model
before = rss_kib()
model = Model(sys.argv[1])
after = rss_kib()
words = open(sys.argv[2], encoding="utf-8").read().split()
started = time.perf_counter()
for word in words:
    model.phoneticize(word)
seconds = time.perf_counter() - started
print(after, after - before, len(words), seconds)
"""


def split(language, work, cleaned=True):
    """Writes train.tsv, test.tsv and the held-out words; returns the counts.
    The words fall on the same side whether or not the lexicon is cleaned:
    cleaning changes phonemes, never words."""
    by_word = {}
    for word, phonemes in language.entries(cleaned):
        by_word.setdefault(word, []).append((word, phonemes))
    words = sorted(by_word)
    random.Random(RANDOM_STATE).shuffle(words)
    test_count = round(len(words) * TEST_SHARE)
    parts = {"test": sorted(words[:test_count]), "train": sorted(words[test_count:])}
    counts = {}
    for name, part in parts.items():
        entries = (entry for word in part for entry in by_word[word])
        counts[name], counts[f"{name}_skipped"] = languages.write_training_lexicon(entries, work / f"{name}.tsv")
    test_words = sorted({line.split("\t", 1)[0] for line in (work / "test.tsv").read_text("utf-8").splitlines()})
    (work / "words.txt").write_text("".join(word + "\n" for word in test_words), encoding="utf-8")
    counts["test_words"] = len(test_words)
    return counts


def peak_memory_mib(time_output):
    match = re.search(r"Maximum resident set size \(kbytes\): (\d+)", time_output)
    return round(int(match.group(1)) / 1024) if match else None


def wer_without_stress(model, test):
    """The held-out WER counting a word right when its best pronunciation
    equals a reference once stress marks are taken off both."""
    evaluation = training.evaluate(model, test, format="tsv", skip_malformed=True, errors=True)
    wrong = sum(
        1 for error in evaluation["errors"]
        if languages.without_stress(tuple(error["predicted"]))
        not in {languages.without_stress(tuple(reference)) for reference in error["references"]})
    return round(100 * wrong / evaluation["words"], 2)


def train_and_evaluate(language, tool, work, options, cleaned):
    """Trains on the split of the lexicon (cleaned or as its package has
    it); returns the training's report, time and peak memory, the
    evaluation, the split's counts and the model's path."""
    counts = split(language, work, cleaned)
    model = work / "model.fst"
    started = time.monotonic()
    trained = subprocess.run(["/usr/bin/time", "-v", tool, "train", str(work / "train.tsv"), str(model),
                              "--json", "--quiet", *options], capture_output=True, text=True)
    seconds = time.monotonic() - started
    if trained.returncode != 0:
        sys.exit(f"{language.code}: training failed:\n{trained.stderr}")
    evaluated = subprocess.run([tool, "evaluate", str(model), str(work / "test.tsv"), "--format", "tsv",
                                "--skip-malformed", "--json"], capture_output=True, text=True, check=True)
    return (json.loads(trained.stdout), seconds, peak_memory_mib(trained.stderr), json.loads(evaluated.stdout),
            counts, model)


def score(language, tool, work, extra):
    options = [*language.trainer_arguments(), *extra]
    uncleaned = None
    if language.cleaning:
        raw = work / "uncleaned"
        raw.mkdir(exist_ok=True)
        uncleaned = train_and_evaluate(language, tool, raw, options, cleaned=False)[3]["wer"]
    report, seconds, peak, evaluation, counts, model = train_and_evaluate(language, tool, work, options, True)
    measured = subprocess.run([sys.executable, "-c", MEASURE, str(model), str(work / "words.txt")],
                              capture_output=True, text=True, check=True).stdout.split()
    rss_kib, load_kib, words, decode_seconds = int(measured[0]), int(measured[1]), int(measured[2]), float(measured[3])
    return {
        "code": language.code, "name": language.name, "package": language.package,
        "version": language.data_version(), "licence": language.data_licence(), "options": options,
        "split": counts, "train_entries": report["entries"], "trainer_skipped_lines": report["skipped_lines"],
        "unalignable": report["unalignable"], "train_seconds": round(seconds, 1),
        "peak_memory_mib": peak, "model_bytes": model.stat().st_size,
        "rss_after_load_mib": round(rss_kib / 1024), "load_mib": round(load_kib / 1024),
        "wer": evaluation["wer"], "per": evaluation["per"], "test_words": evaluation["words"],
        "wer_without_stress": wer_without_stress(model, work / "test.tsv"), "wer_uncleaned": uncleaned,
        "cleaning": [(rule.describe(), rule.entries) for rule in language.cleaning],
        "unknown_letter_words": evaluation["words_with_unknown_letters"],
        "words_per_second": round(words / decode_seconds),
    }


def table(results):
    lines = [
        "| language | entries (skipped) | training | model | memory after load | held-out WER (uncleaned) "
        "| without stress | PER | words/s |",
        "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |",
    ]
    for row in results:
        entries = row["split"]["train"] + row["split"]["test"]
        skipped = row["split"]["train_skipped"] + row["split"]["test_skipped"]
        uncleaned = f" ({row['wer_uncleaned']:.2f}%)" if row["wer_uncleaned"] is not None else ""
        lines.append(
            f"| {row['code']} {row['name']} | {entries:,} ({skipped:,}) | {row['train_seconds']:.0f} s, "
            f"{row['peak_memory_mib']:,} MiB peak | {row['model_bytes'] / 2**20:.0f} MiB | "
            f"{row['rss_after_load_mib']:,} MiB ({row['load_mib']:,} for the model) | {row['wer']:.2f}%{uncleaned} | "
            f"{row['wer_without_stress']:.2f}% | {row['per']:.2f}% | {row['words_per_second']:,} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("codes", nargs="*", help="languages to score (default: every installed one)")
    parser.add_argument("--work", type=Path, default=ROOT / "build" / "languages")
    parser.add_argument("--tool", help="use this vurel-train binary (default: the installed one)")
    parser.add_argument("--tag", default="", help="name this run's figures file figures<TAG>.json")
    arguments = sys.argv[1:]
    extra = []
    if "--" in arguments:
        extra = arguments[arguments.index("--") + 1:]
        arguments = arguments[:arguments.index("--")]
    args = parser.parse_args(arguments)
    tool = args.tool or languages.find_trainer()
    if tool is None:
        sys.exit("vurel-train is not installed")
    chosen = [languages.get(code) for code in args.codes] or list(languages.LANGUAGES.values())
    results = []
    for language in chosen:
        if not language.installed():
            print(f"{language.code}: {language.package} is not installed, skipped", file=sys.stderr)
            continue
        work = args.work / language.code
        work.mkdir(parents=True, exist_ok=True)
        print(f"{language.code}: training and scoring {' '.join(extra)}", file=sys.stderr)
        results.append(score(language, tool, work, extra))
        print(json.dumps(results[-1]), file=sys.stderr)
    (args.work / f"figures{args.tag}.json").write_text(json.dumps(results, indent=1, ensure_ascii=False))
    print(table(results))


if __name__ == "__main__":
    main()
