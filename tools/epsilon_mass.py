#!/usr/bin/env python3
"""The mass round a model's input-epsilon cycles: whether a word's probabilities can be summed.

    .venv/py3.11/bin/python tools/epsilon_mass.py MODEL [MODEL ...]

Reads each model's arcs with `fstprint --numeric=true` and keeps those that
read no letter (input label 0): backoff arcs (no phoneme either) and
insertions (a phoneme without a letter). With A[i][j] the sum of e^-weight
over such arcs from state i to state j, the paths round these cycles hold
sum_k A^k of mass, finite exactly when the spectral radius rho(A) is below 1;
at 1 or more, no word of the model has defined probabilities. Backoff arcs
alone go from higher orders to lower ones and hold no cycle, so every cycle
holds an insertion.

Arcs on no cycle are trimmed first (a state no arc enters, or none leaves,
lies on none): with none left, A is nilpotent and rho is 0. Otherwise rho(A)
is found by power iteration of (A + I) / 2 (same leading eigenvector, no
period), from y = 1, until its growth settles: rho = 2 * growth - 1.
Prints per model its arc counts and rho. Needs numpy.
"""

from __future__ import annotations

import argparse
import subprocess
import sys

import numpy

MOST_ROUNDS = 20000
SETTLED = 1e-10


def epsilon_arcs(model: str) -> tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray, int, int]:
    """(from, to, e^-weight) of the arcs reading no letter, the state count,
    and how many of those arcs write a phoneme."""
    printed = subprocess.run(["fstprint", "--numeric=true", model], check=True, capture_output=True,
                             text=True).stdout
    sources, targets, factors = [], [], []
    states = insertions = 0
    for line in printed.splitlines():
        fields = line.split("\t")
        states = max(states, int(fields[0]) + 1)
        if len(fields) < 4:
            continue
        states = max(states, int(fields[1]) + 1)
        if fields[2] != "0":
            continue
        sources.append(int(fields[0]))
        targets.append(int(fields[1]))
        factors.append(float(fields[4]) if len(fields) > 4 else 0.0)
        insertions += fields[3] != "0"
    factors = numpy.exp(-numpy.array(factors))
    return numpy.array(sources, dtype=int), numpy.array(targets, dtype=int), factors, states, insertions


def on_cycles(sources, targets, states: int) -> numpy.ndarray:
    """Which arcs may lie on a cycle: those left once arcs out of a state no
    kept arc enters, and into one no kept arc leaves, are dropped in turn."""
    kept = numpy.ones(len(sources), dtype=bool)
    while True:
        entered = numpy.bincount(targets[kept], minlength=states) > 0
        left = numpy.bincount(sources[kept], minlength=states) > 0
        keep = kept & entered[sources] & left[targets]
        if keep.sum() == kept.sum():
            return kept
        kept = keep


def spectral_radius(sources, targets, factors, states: int) -> tuple[float, int]:
    """(rho(A), rounds of power iteration taken) for the arcs given."""
    kept = on_cycles(sources, targets, states)
    if not kept.any():
        return 0.0, 0
    sources, targets, factors = sources[kept], targets[kept], factors[kept]
    y = numpy.ones(states)
    growth = 0.0
    for rounds in range(1, MOST_ROUNDS + 1):
        stepped = (y + numpy.bincount(targets, weights=factors * y[sources], minlength=states)) / 2
        previous, growth = growth, stepped.sum() / y.sum()
        y = stepped / stepped.max()
        if abs(growth - previous) < SETTLED:
            break
    return 2 * growth - 1, rounds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("models", nargs="+")
    args = parser.parse_args()
    for model in args.models:
        sources, targets, factors, states, insertions = epsilon_arcs(model)
        radius, rounds = spectral_radius(sources, targets, factors, states)
        print(f"{model}: {len(sources)} arcs without a letter ({insertions} insertions), "
              f"spectral radius {radius:.4f} ({rounds} rounds)"
              + (": probabilities undefined" if radius >= 1 else ""))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
