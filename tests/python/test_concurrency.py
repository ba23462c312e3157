"""Many threads, each with its own Model, decoding at once get what one thread gets."""

import threading

from vurel import Model

WORDS = ["ab", "abc", "x", "é", "wh", "z", "cab", "a_b", "", "abcabcabc"]
THREADS = 8
ROUNDS = 25


def _decode_all(model):
    return [
        (model.phoneticize(word),
         model.phoneticize_sampling(word, nbest=3),
         [(p.path_weight, p.path_weights, p.ilabels, p.olabels, p.uniques)
          for p in model.phoneticize_paths(word, nbest=4, accumulate=True, pmass=2.0)])
        for word in WORDS
    ]


def test_threads_with_their_own_models_agree_with_one_thread(model_path):
    expected = _decode_all(Model(str(model_path)))
    assert any(paths for _, _, paths in expected)
    start = threading.Barrier(THREADS)
    outcomes = [None] * THREADS

    def work(index):
        model = Model(str(model_path))
        start.wait()
        outcomes[index] = [_decode_all(model) for _ in range(ROUNDS)]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for outcome in outcomes:
        assert outcome == [expected] * ROUNDS


def test_loading_and_dropping_models_while_others_decode(model_path):
    expected = _decode_all(Model(str(model_path)))
    failures = []

    def decode():
        model = Model(str(model_path))
        for _ in range(ROUNDS):
            if _decode_all(model) != expected:
                failures.append("decode")

    def churn():
        for _ in range(ROUNDS):
            model = Model(str(model_path))
            if model.find_isym("a") != 3:
                failures.append("load")
            del model

    threads = [threading.Thread(target=decode if i % 2 else churn) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
