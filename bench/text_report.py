"""Reads real prose no one here wrote with ``vurel text`` and prints what it made of it.

Usage: .venv/py3.11/bin/python bench/text_report.py [--words N] [--rounds N] [--langs en,de,...]
                                                   [--skip-speed] [--work DIR]

Installs what it needs first: Debian's fortunes in six languages and espeak-ng (apt), and
the gruut-lang-* lexicons of those languages (pip, into this interpreter's environment);
each language's model is trained on first use and cached, as `vurel text` does.
For each language, on its first N words of fortunes (one fortune line an input line):
  - tokens by kind, words from the lexicon, the model and spelled, tokens with a problem
    by kind, the characters of unknown-character problems by script, and whether the
    command failed (it must not);
then, in one run, each ratio from alternating rounds (median):
  - `vurel text --jobs 1` against `espeak-ng -q -x --ipa -v LANG -f FILE` on the same file,
    English and German, whole commands and less a run on one line (model load);
  - `vurel.phonemize` on 10,000 fortune lines against espeak-ng on the same lines;
  - `vurel text --jobs 2` against `--jobs 1`;
  - resident memory the text layer adds to a loaded G2P (after reading those lines).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
import unicodedata
from collections import Counter
from pathlib import Path

FORTUNES = Path("/usr/share/games/fortunes")
APT_PACKAGES = ["fortunes", "fortunes-de", "fortunes-es", "fortunes-it", "fortunes-ru", "fortunes-cs", "espeak-ng"]
# Where each language's fortunes are, and espeak-ng's voice for it.
LANGUAGES = {"en": ("", "en-us"), "de": ("de", "de"), "es": ("es", "es"), "it": ("it", "it"), "ru": ("ru", "ru"),
             "cs": ("cs", "cs")}
SPEED_LANGUAGES = ("en", "de")
SENTENCES = 10_000

MEMORY = r"""
import sys, time
import vurel
from vurel.text import TextReader
lines = open(sys.argv[1], encoding="utf-8").read().splitlines()
g2p = vurel.G2P(lang=sys.argv[2])
g2p.pronounce("warm")
def rss():
    return int(next(l for l in open("/proc/self/status") if l.startswith("VmRSS")).split()[1]) * 1024
before = rss()
reader = TextReader(g2p)
for start in range(0, len(lines), 256):
    reader.read(lines[start:start + 256])
print(before, rss())
"""

PHONEMIZE = r"""
import sys, time
import vurel
lines = open(sys.argv[1], encoding="utf-8").read().splitlines()
vurel.phonemize("warm up", lang=sys.argv[2])
start = time.perf_counter()
vurel.phonemize(lines, lang=sys.argv[2])
print(time.perf_counter() - start)
"""


def install() -> None:
    """Debian's fortunes and espeak-ng, and the lexicons, when they are missing."""
    missing = [p for p in APT_PACKAGES if subprocess.run(["dpkg", "-s", p], capture_output=True).returncode]
    if missing:
        apt = ["apt-get", "install", "-y", "-q", *missing]
        if os.geteuid() != 0:
            apt.insert(0, "sudo")
        subprocess.run(apt, check=True, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"),
                       stdout=subprocess.DEVNULL)
    packages = [f"gruut-lang-{code}" for code in LANGUAGES if code != "en"]
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", *packages], check=True)


def fortune_lines(code: str, words: int) -> list[str]:
    """The first ``words`` words of the language's fortunes, a line of text a
    line, without the ``%`` lines between fortunes."""
    directory = FORTUNES / LANGUAGES[code][0]
    files = sorted(p for p in directory.iterdir() if p.is_file() and p.suffix not in (".dat", ".u8")
                   and not p.is_symlink())
    lines: list[str] = []
    count = 0
    for path in files:
        for line in path.read_text(encoding="utf-8", errors="replace").splitlines():
            if line.strip() in ("%", ""):
                continue
            lines.append(line)
            count += len(line.split())
            if count >= words:
                return lines
    return lines


def vurel_command(*args: str) -> list[str]:
    return [sys.executable, "-m", "vurel", *args]


def timed(command: list[str]) -> float:
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def alternate(rounds: int, **commands: list[str]) -> dict[str, float]:
    """Median seconds of each command, its rounds alternating with the others'."""
    times: dict[str, list[float]] = {name: [] for name in commands}
    for _ in range(rounds):
        for name, command in commands.items():
            times[name].append(timed(command))
    return {name: statistics.median(values) for name, values in times.items()}


def script_of(character: str) -> str:
    name = unicodedata.name(character, "")
    return name.split()[0] if name else f"U+{ord(character):04X}"


def read_language(code: str, path: Path) -> dict[str, object]:
    """What ``vurel text`` made of the file: counts from its JSON Lines."""
    completed = subprocess.run(vurel_command("text", "--lang", code, "-f", "jsonl", "--no-progress", "-i", str(path)),
                               capture_output=True, text=True)
    kinds: Counter[str] = Counter()
    sources: Counter[str] = Counter()
    problems: Counter[str] = Counter()
    unknown: Counter[str] = Counter()
    for line in completed.stdout.splitlines():
        record = json.loads(line)
        kinds[record["kind"]] += 1
        sources.update(record["source"])
        problem = record.get("problem")
        if problem:
            problems[problem.split(":", 1)[0]] += 1
            if problem.startswith("unknown characters"):
                # The characters the problem names, by the first word of their names (LATIN, CYRILLIC).
                unknown.update(script_of(c) for c in re.findall(r"'(.)'", problem.split(" (in ", 1)[0]))
    return {"status": completed.returncode, "traceback": "Traceback" in completed.stderr, "kinds": kinds,
            "sources": sources, "problems": problems, "unknown_scripts": unknown}


def print_reading(code: str, words: int, lines: int, found: dict) -> None:
    print(f"\n{code}: {lines:,} lines, {words:,} words; exit status {found['status']}"
          f"{', a traceback' if found['traceback'] else ''}")
    print("  tokens by kind: " + ", ".join(f"{k} {n:,}" for k, n in found["kinds"].most_common()))
    print("  words: " + ", ".join(f"{k} {n:,}" for k, n in found["sources"].most_common()))
    total = sum(found["problems"].values())
    print(f"  tokens with a problem: {total:,}"
          + (" (" + ", ".join(f"{k} {n:,}" for k, n in found["problems"].most_common()) + ")" if total else ""))
    if found["unknown_scripts"]:
        print("  unknown characters by script: "
              + ", ".join(f"{k} {n:,}" for k, n in found["unknown_scripts"].most_common(8)))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--words", type=int, default=100_000, help="words of prose per language (default 100,000)")
    parser.add_argument("--rounds", type=int, default=3, help="alternating rounds per ratio (default 3)")
    parser.add_argument("--langs", default=",".join(LANGUAGES), help="languages to read (default all six)")
    parser.add_argument("--skip-speed", action="store_true", help="only read, do not time")
    parser.add_argument("--work", help="directory for the prose files (default a temporary one)")
    args = parser.parse_args()
    install()
    work = Path(args.work or tempfile.mkdtemp(prefix="vurel-text-"))
    work.mkdir(parents=True, exist_ok=True)
    files = {}
    for code in args.langs.split(","):
        lines = fortune_lines(code, args.words)
        path = files[code] = work / f"{code}.txt"
        path.write_text("\n".join(lines) + "\n", encoding="utf-8")
        # The first use of a language trains its model: not a part of any reading or timing.
        subprocess.run(vurel_command("text", "--lang", code, "warm"), check=True, stdout=subprocess.DEVNULL)
        print_reading(code, sum(len(line.split()) for line in lines), len(lines), read_language(code, path))
    if args.skip_speed:
        return 0
    print()
    for code in SPEED_LANGUAGES:
        if code not in files:
            continue
        path, voice = files[code], LANGUAGES[code][1]
        one = work / f"{code}-one.txt"
        one.write_text("warm\n", encoding="utf-8")
        measured = alternate(
            args.rounds,
            vurel=vurel_command("text", "--lang", code, "--jobs", "1", "--no-progress", "-i", str(path),
                                "-o", os.devnull),
            start=vurel_command("text", "--lang", code, "--no-progress", "-i", str(one), "-o", os.devnull),
            espeak=["espeak-ng", "-q", "-x", "--ipa", "-v", voice, "-f", str(path)],
            jobs2=vurel_command("text", "--lang", code, "--jobs", "2", "--no-progress", "-i", str(path),
                                "-o", os.devnull),
        )
        print(f"{code}: vurel text --jobs 1 {measured['vurel']:.2f} s (start-up {measured['start']:.2f} s), "
              f"espeak-ng {measured['espeak']:.2f} s: {measured['espeak'] / measured['vurel']:.2f}x espeak-ng "
              f"whole, {measured['espeak'] / (measured['vurel'] - measured['start']):.2f}x less start-up")
        print(f"{code}: --jobs 2 {measured['jobs2']:.2f} s: {measured['vurel'] / measured['jobs2']:.2f}x --jobs 1 "
              f"whole, {(measured['vurel'] - measured['start']) / (measured['jobs2'] - measured['start']):.2f}x "
              f"less start-up")
        sentences = work / f"{code}-sentences.txt"
        sentences.write_text("\n".join(path.read_text(encoding="utf-8").splitlines()[:SENTENCES]) + "\n",
                             encoding="utf-8")
        phonemize_times, espeak_times = [], []
        for _ in range(args.rounds):
            done = subprocess.run([sys.executable, "-c", PHONEMIZE, str(sentences), code], check=True,
                                  capture_output=True, text=True)
            phonemize_times.append(float(done.stdout))
            espeak_times.append(timed(["espeak-ng", "-q", "-x", "--ipa", "-v", voice, "-f", str(sentences)]))
        phonemize_time, espeak_time = statistics.median(phonemize_times), statistics.median(espeak_times)
        print(f"{code}: vurel.phonemize on {SENTENCES:,} lines {phonemize_time:.2f} s, espeak-ng {espeak_time:.2f} s: "
              f"{espeak_time / phonemize_time:.2f}x espeak-ng")
        before, after = map(int, subprocess.run([sys.executable, "-c", MEMORY, str(sentences), code], check=True,
                                                capture_output=True, text=True).stdout.split())
        print(f"{code}: resident memory {before / 2**20:.0f} MiB with the G2P loaded, "
              f"{(after - before) / 2**20:.1f} MiB more after the text layer read {SENTENCES:,} lines")
    return 0


if __name__ == "__main__":
    sys.exit(main())
