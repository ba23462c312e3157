"""No call, failing or not, leaks memory or references."""

import gc
import os
import sys

import numpy

from vurel import Model, PathData

ROUNDS = 8000
SLACK_BYTES = 2 * 1024 * 1024  # steady-state growth measured here is 0
# AddressSanitizer holds freed memory back in quarantine, so resident size
# says nothing of leaks there; its own checks stand in for this one.
UNDER_ADDRESS_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")


def _rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def _swallow(call):
    try:
        call()
    except (TypeError, OverflowError, ValueError, UnicodeEncodeError):
        pass


def _calls(model, path):
    word = "abcx"
    return [
        lambda: model.phoneticize(word),
        lambda: model.phoneticize_paths(word, nbest=3, accumulate=numpy.True_),
        lambda: [repr(p) + str(p.path_weights + p.ilabels + p.olabels + p.uniques)
                 for p in model.phoneticize_paths(word, nbest=2)],
        lambda: model.phoneticize_sampling(word, nbest=3, threshold=50, pmass=60.0),
        lambda: model.find_isym("a|b"),
        lambda: model.find_isym("\ud800"),
        lambda: model.find_osym(5),
        lambda: model.find_osym(-1),
        lambda: Model(path, ""),
        # failing calls
        lambda: model.phoneticize_paths(word, nbest=None),
        lambda: model.phoneticize_paths(word, 1, 2, 3, 4, 5, 6, 7),
        lambda: model.phoneticize_paths(word, bogus=1),
        lambda: model.phoneticize_sampling(word, threshold="x"),
        lambda: model.phoneticize_paths(word, write_fsts=1),
        lambda: model.phoneticize_paths(word, nbest=-1),
        lambda: model.phoneticize("a\ud800"),
        lambda: model.find_isym(2**40),
        lambda: model.find_osym(1.5),
        lambda: Model(path + ".absent"),
        lambda: Model(path, delim=3),
        lambda: Model(),
    ]


def test_repeated_calls_do_not_grow_memory_or_refcounts(model_path):
    path = str(model_path)
    model = Model(path)
    calls = _calls(model, path)
    watched = [Model, PathData, model, None, True, False]

    def run(rounds):
        for _ in range(rounds):
            for call in calls:
                _swallow(call)

    run(200)  # warm caches and allocator pools
    gc.collect()
    refcounts = [sys.getrefcount(o) for o in watched]
    rss = _rss_bytes()
    run(ROUNDS)
    gc.collect()
    # a leak in any call would add a reference per round; unrelated code may move None's count a little
    assert all(abs(sys.getrefcount(o) - count) < 100 for o, count in zip(watched, refcounts))
    if not UNDER_ADDRESS_SANITIZER:
        assert _rss_bytes() - rss < SLACK_BYTES
