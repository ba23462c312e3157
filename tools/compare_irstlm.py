#!/usr/bin/env python3
"""Measures the trainer's n-gram estimation against IRSTLM's, on CMUdict.

    python3 tools/compare_irstlm.py

Debian's `irstlm` package (installed with apt-get when missing and run as
root) estimates a joint n-gram model from the trainer's own alignment of the
training part of tools/train_cmudict.py's split (stress removed, default
alignment options, order 9, no pruning). Its ARPA file is turned into a
model by the same conventions as the trainer's (one state per history,
epsilon backoff arcs, end of word as final weight), compiled with OpenFst's
fstcompile, and evaluated on the test part beside the trainer's own model
with the same smoothing: improved (modified) Kneser-Ney and Witten-Bell.
Everything is written under build/cmudict/irstlm/.
"""

import json
import math
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

from train_cmudict import ROOT, build, dictionary_file, run, split

TLM = Path("/usr/lib/irstlm/bin/tlm")
ORDER = 9
# IRSTLM's names, and the trainer's, for the same smoothing.
SMOOTHINGS = {"ikn": "kn", "wb": "wb"}


def ensure_irstlm():
    if TLM.exists():
        return
    if os.geteuid() != 0:
        sys.exit("IRSTLM is missing: apt-get install irstlm")
    run(["apt-get", "install", "-y", "-q", "irstlm"], stdout=subprocess.DEVNULL)


def read_arpa(path):
    """{n-gram tuple: (log10 probability, log10 backoff)} and the order."""
    ngrams, order, section = {}, 0, 0
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            line = line.strip()
            if line.startswith("\\"):
                section = int(line[1:line.index("-")]) if line.endswith("-grams:") else 0
                order = max(order, section)
            elif line and section:
                fields = line.split()
                tokens = tuple(fields[1:1 + section])
                backoff = float(fields[1 + section]) if len(fields) > 1 + section else 0.0
                ngrams[tokens] = (float(fields[0]), backoff)
    return ngrams, order


def symbol_table(units):
    """"<eps>", "|", "_", the single symbols, then the clusters, each sorted."""
    singles = {member for unit in units for member in unit.split("|")}
    clusters = {unit for unit in units if "|" in unit}
    return ["<eps>", "|", "_", *sorted(singles), *sorted(clusters)]


def write_model(arpa, work, name):
    """Compiles the ARPA model into work/name.fst the way the trainer lays
    out its models; the start state (history "<s>") is state 0."""
    ngrams, order = read_arpa(arpa)
    histories = [()] + [g for g in ngrams if len(g) < order and g[-1] != "</s>"]
    start = ("<s>",)
    histories.remove(start)
    state = {history: number for number, history in enumerate([start, *histories])}

    def state_of(tokens):
        while tokens not in state:
            tokens = tokens[1:]
        return state[tokens]

    def backoff(history):
        return ngrams[history][1] if history in ngrams else 0.0

    finals = {}

    def final_log10(history):  # P(</s> | history), backing off as far as needed
        if history not in finals:
            seen = ngrams.get(history + ("</s>",))
            finals[history] = (seen[0] if seen else
                               -math.inf if not history else backoff(history) + final_log10(history[1:]))
        return finals[history]

    arcs, letters, phonemes = [], set(), set()
    for tokens, (log_probability, _) in ngrams.items():
        unit = tokens[-1]
        if unit in ("<s>", "</s>", "<unk>") or tokens[:-1] not in state:
            continue
        grapheme, phoneme = unit.split("}")
        if grapheme != "_":
            letters.add(grapheme)
        if phoneme != "_":
            phonemes.add(phoneme)
        target = state_of(tokens if len(tokens) < order else tokens[1:])
        arcs.append((state[tokens[:-1]], target, "<eps>" if grapheme == "_" else grapheme, phoneme,
                     -log_probability * math.log(10)))
    for history, number in state.items():
        if history:
            arcs.append((number, state_of(history[1:]), "<eps>", "<eps>", -backoff(history) * math.log(10)))
    arcs.sort(key=lambda arc: arc[0] != 0)  # fstcompile starts at the first line's state

    tables = {}
    for side, units in (("isyms", letters), ("osyms", phonemes)):
        tables[side] = work / f"{name}.{side}"
        tables[side].write_text("".join(f"{text}\t{label}\n" for label, text in enumerate(symbol_table(units))),
                                encoding="utf-8")
    text = work / f"{name}.txt"
    with text.open("w", encoding="utf-8") as out:
        for source, target, grapheme, phoneme, weight in arcs:
            out.write(f"{source}\t{target}\t{grapheme}\t{phoneme}\t{weight:.6f}\n")
        for history, number in state.items():
            if math.isfinite(final_log10(history)):
                out.write(f"{number}\t{-final_log10(history) * math.log(10):.6f}\n")
    model = work / f"{name}.fst"
    compiled = subprocess.run(["fstcompile", f"--isymbols={tables['isyms']}", f"--osymbols={tables['osyms']}",
                               "--keep_isymbols", "--keep_osymbols", str(text)], check=True, capture_output=True)
    with model.open("wb") as out:
        subprocess.run(["fstarcsort", "--sort_type=ilabel"], input=compiled.stdout, stdout=out, check=True)
    text.unlink()
    return model


def evaluate(tool, model, test):
    evaluated = run([str(tool), "evaluate", str(model), str(test), "--strip-stress", "--json"],
                    capture_output=True, text=True)
    report = json.loads(evaluated.stdout)
    return {"wer": round(report["wer"], 4), "per": round(report["per"], 4)}


def timed(command, **kwargs):
    started = time.monotonic()
    run(command, **kwargs)
    return round(time.monotonic() - started, 1)


def main():
    if shutil.which("fstcompile") is None:
        sys.exit("fstcompile is missing: run scripts/install-deps.sh")
    ensure_irstlm()
    cmudict_work = ROOT / "build" / "cmudict"
    work = cmudict_work / "irstlm"
    work.mkdir(parents=True, exist_ok=True)
    paths, _ = split(dictionary_file(cmudict_work), cmudict_work)
    tool = build(cmudict_work)

    aligned = work / "aligned.txt"
    run([str(tool), "align", str(paths["train"]), str(aligned), "--strip-stress", "--quiet"])
    corpus = work / "corpus.txt"
    with aligned.open(encoding="utf-8") as lines, corpus.open("w", encoding="utf-8") as out:
        for line in lines:
            out.write("<s> " + line.rstrip("\n").split("\t")[1] + " </s>\n")

    results = []
    for irstlm_name, own_name in SMOOTHINGS.items():
        arpa = work / f"{irstlm_name}.arpa"
        irstlm_seconds = timed([str(TLM), f"-tr={corpus}", f"-n={ORDER}", f"-lm={irstlm_name}", "-ps=no",
                                f"-o={arpa}"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        irstlm_model = write_model(arpa, work, irstlm_name)
        own_model = work / f"vurel-{own_name}.fst"
        own_seconds = timed([str(tool), "train", str(paths["train"]), str(own_model), "--strip-stress",
                             "--smoothing", own_name, "--order", str(ORDER), "--quiet"], stdout=subprocess.DEVNULL)
        results.append({
            "smoothing": own_name,
            "irstlm": {"estimation_seconds": irstlm_seconds, **evaluate(tool, irstlm_model, paths["test"])},
            "vurel": {"whole_training_seconds": own_seconds, **evaluate(tool, own_model, paths["test"])},
        })
    (work / "comparison.json").write_text(json.dumps(results, indent=1))
    print(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
