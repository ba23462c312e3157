"""The high-level API: lexicon first, spelling normalised to the model's
letters, problems named instead of guessed around, threads sharing a model."""

from __future__ import annotations

import math
import pickle
import threading

import pytest

from cli_fixtures import ARCS, compile_model, run_vurel
from conftest import compile_fst
from vurel import G2P, Pronunciation, WordResult, _native
from vurel import g2p as g2p_module
from vurel.files import NotAModelError


@pytest.fixture(scope="module")
def plain(tmp_path_factory):
    """Letters a b c e h o t x and the cluster c|h; no accented letter."""
    return compile_model(tmp_path_factory.mktemp("plain"))


@pytest.fixture(scope="module")
def accented(tmp_path_factory):
    """Has é but no e."""
    return compile_fst(tmp_path_factory.mktemp("accented"), "accented.fst")


def best(g2p: G2P, word: str) -> tuple[str, ...] | None:
    result = g2p.pronounce(word)
    return result.pronunciations[0].phonemes if result.pronunciations else None


def test_lexicon_first_in_its_order_up_to_nbest(plain, tmp_path):
    lexicon = tmp_path / "lexicon.dict"
    lexicon.write_text("CAT  K AE1 T S\ncat(2)  K AA1 T\ncat(3)  K EY1 T\n")
    result = G2P(plain, lexicon=lexicon, nbest=2).pronounce("Cat")
    assert result == WordResult("Cat", (
        Pronunciation("Cat", ("K", "AE1", "T", "S"), "lexicon", 0.0),
        Pronunciation("Cat", ("K", "AA1", "T"), "lexicon", 0.0),
    ))
    assert G2P(plain, lexicon=lexicon).pronounce("tab").pronunciations[0].source == "model"
    # A lexicon only comes by default with the default model.
    assert G2P(plain).pronounce("cat").pronunciations[0].source == "model"


def test_accents_fold_only_where_the_model_lacks_the_letter(plain, accented):
    g2p = G2P(plain)
    assert best(g2p, "bé") == best(g2p, "be") and best(g2p, "cät") == best(g2p, "cat") == ("K", "AE1", "T")
    # NFD input is composed first, and upper case follows the model's letters.
    assert best(g2p, "CA\u0308T") == ("K", "AE1", "T")
    # A model that has é keeps it: é reads E, which a plain e would not.
    assert best(G2P(accented), "é") == ("E",)
    assert G2P(accented).pronounce("e").problem == "unknown characters: 'e'"


def test_spelling_does_not_depend_on_the_words_before(plain, monkeypatch):
    # Each letter's spelling in the model's letters is remembered, a few of
    # them here: a word must read the same whatever came before it.
    words = ["cät", "c4at", "CAT", "Cät", "ẞat", "c4ät", "bq", "4", "ﬀ", "c4at", "cät"]
    alone = [G2P(plain, unknown=unknown).pronounce(word) for unknown in ("report", "drop") for word in words]
    monkeypatch.setattr(g2p_module, "_REMEMBERED_SPELLINGS", 3)
    shared = {unknown: G2P(plain, unknown=unknown) for unknown in ("report", "drop")}
    for _ in range(2):
        assert [shared[unknown].pronounce(word) for unknown in ("report", "drop") for word in words] == alone
    delimited = G2P(plain, delim="|")
    assert [delimited.pronounce(word) for word in ("c|a|t", "b|ä|t", "c|4|t", "b|ä|t")] == [
        G2P(plain, delim="|").pronounce(word) for word in ("c|a|t", "b|ä|t", "c|4|t", "b|ä|t")]


def test_problems_are_named_not_decoded_around(plain):
    g2p = G2P(plain, max_length=5)
    cases = {
        "3rd": "unknown characters: '3', 'r', 'd'",
        "Москва": "too long: 6 characters, more than 5",
        "Мос": "unknown characters: 'М', 'о', 'с'",
        ".": "punctuation only",
        "?!": "punctuation only",
        "": "empty word",
        " \t": "empty word",
        # Punctuation inside the word stays part of it.
        "c'at": "unknown characters: \"'\"",
        "ca-b.": "unknown characters: '-'",
        # e reads as nothing (the skip symbol) on its best path: an empty
        # pronunciation is none.
        "e": "no pronunciation found",
    }
    for word, problem in cases.items():
        assert g2p.pronounce(word) == WordResult(word, (), problem), word
    dropped = G2P(plain, unknown="drop").pronounce("c4at")
    assert dropped.pronunciations[0].phonemes == ("K", "AE1", "T") and dropped.dropped == "4"
    assert G2P(plain, unknown="drop").pronounce("44").problem == "unknown characters: '4'"
    assert G2P(plain, threshold=0.1).pronounce("cat").problem == (
        "every pronunciation filtered out: each weighs more than the threshold 0.1")


def test_punctuation_around_a_word_is_not_part_of_it(plain, tmp_path):
    lexicon = tmp_path / "lexicon.tsv"
    lexicon.write_text("a.b.\tEY1 B IY1\n'tab\tT AE1 B\n")
    g2p = G2P(plain, lexicon=lexicon)
    cases = {
        "cat,": ("K", "AE1", "T", "model"),
        "(cat)": ("K", "AE1", "T", "model"),
        "«¿cat?»": ("K", "AE1", "T", "model"),
        "a.b.": ("EY1", "B", "IY1", "lexicon"),  # found whole, before stripping
        "a.b.,": ("EY1", "B", "IY1", "lexicon"),
        "'tab'": ("T", "AE1", "B", "lexicon"),  # found once the last quote is off
        "'bat": ("B", "AE1", "T", "model"),
    }
    for word, (*phonemes, source) in cases.items():
        result = g2p.pronounce(word)
        assert result.word == word, word
        assert [(found.phonemes, found.source) for found in result.pronunciations[:1]] == [(tuple(phonemes), source)], word


def test_argument_errors_name_the_argument(plain):
    cases = [
        ({"nbest": "3"}, TypeError, "nbest must be an int, not str"),
        ({"nbest": 0}, ValueError, "nbest must be at least 1, not 0"),
        ({"threads": True}, TypeError, "threads must be an int, not bool"),
        ({"threads": 0}, ValueError, "threads must be at least 1, not 0"),
        ({"max_length": -1}, ValueError, "max_length must be at least 0, not -1"),
        ({"max_length": 2.0}, TypeError, "max_length must be an int, not float"),
    ]
    for keywords, error, message in cases:
        with pytest.raises(error, match=f"^{message}$"):
            G2P(plain, **keywords)
    for word, kind in ((None, "NoneType"), (b"cat", "bytes")):
        with pytest.raises(TypeError, match=f"^word must be a str, not {kind}$"):
            G2P(plain).pronounce(word)


def test_results_are_frozen_picklable_and_carry_ipa_when_asked(plain):
    result = G2P(plain, ipa=True).pronounce("tote")
    assert result.pronunciations[0].ipa == "ˈtoʊt"
    assert pickle.loads(pickle.dumps(result)) == result
    with pytest.raises(AttributeError):
        result.word = "other"  # type: ignore[misc]
    assert G2P(plain).pronounce("tote").pronunciations[0].ipa is None


def test_threads_share_one_model_and_keep_input_order(plain):
    letters = "abcehotx"
    words = [a + b + c for a in letters for b in letters for c in letters] + ["qq", "."]
    alone = list(G2P(plain, nbest=2).pronounce_many(words))
    shared = list(G2P(plain, nbest=2, threads=3).pronounce_many(iter(words)))
    assert shared == alone and [result.word for result in shared] == words
    assert sum(1 for result in alone if result.problem) >= 2

    # One decoder called from several threads at once gives what one thread does.
    decoder = _native.Decoder(str(plain))
    expected = decoder.decode("chatbox", nbest=3)
    answers: list[object] = []
    threads = [threading.Thread(target=lambda: answers.extend(decoder.decode("chatbox", nbest=3) for _ in range(50)))
               for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert expected[0] == "decoded" and len(expected[1]) == 3
    assert answers == [expected] * 200


@pytest.mark.parametrize("options", [{}, {"background": True}, {"threads": 2}])
def test_batches_come_whole_in_input_order(plain, options):
    words = ["cat", "qq", "box", "", "tab", "."]
    batches = list(G2P(plain, **options).pronounce_batches(iter(words), batch=4))
    assert [[result.word for result in results] for results in batches] == [words[:4], words[4:]]
    assert [result for results in batches for result in results] == list(G2P(plain).pronounce_many(words))


@pytest.mark.parametrize("options", [{"background": True}, {"threads": 2}])
def test_words_are_read_ahead_only_in_batches_of_several_words(plain, options):
    # A reader waiting on each answer must get it before the next word is
    # read, or it waits for ever; batches of several words are decoded while
    # the caller handles the ones before.
    read: list[str] = []

    def words():
        for word in ("cat", "box", "tab", "bat", "hat", "tot"):
            read.append(word)
            yield word

    ahead = 2 * options.get("threads", 1)
    for batch, read_by_first in ((1, ["cat"]), (2, ["cat", "box", "tab", "bat", "hat", "tot"][: 2 * ahead])):
        read.clear()
        g2p = G2P(plain, **options)
        batches = g2p.pronounce_batches(words(), batch=batch)
        first = next(batches)
        assert (first[0].word, read) == ("cat", read_by_first), batch
        assert [result.word for results in batches for result in results] == ["cat", "box", "tab", "bat", "hat", "tot"][batch:]


def test_a_reading_error_comes_after_the_words_before_it(plain):
    def words():
        yield from ("cat", "box", "tab")
        raise ValueError("line 4 is bad")

    for threads in (1, 2):
        seen = []
        with pytest.raises(ValueError, match="line 4"):
            for result in G2P(plain, threads=threads).pronounce_many(words()):
                seen.append(result.word)
        assert seen == ["cat", "box", "tab"]


def test_one_message_per_failure_kind(plain, tmp_path):
    text = tmp_path / "words.txt"
    text.write_text("cat\n")
    with pytest.raises(FileNotFoundError, match=f"^model {tmp_path / 'absent'} not found$"):
        G2P(tmp_path / "absent")
    with pytest.raises(IsADirectoryError, match=f"^model {tmp_path} is a directory, not a file$"):
        G2P(tmp_path)
    with pytest.raises(NotAModelError, match=f"^{text} is not a model file: failed to read FST: "):
        G2P(text)
    with pytest.raises(ValueError, match="words.txt:1: "):
        G2P(plain, lexicon=text)


def test_dictionary_reader_keeps_file_order_and_drops_variant_markers(tmp_path):
    path = tmp_path / "lexicon.dict"
    path.write_text(";;; comment\nREAD  R EH1 D\nREAD(2)  R IY1 D # past\nword\tW ER1 D\n")
    assert _native.read_dictionary(str(path)) == [
        ("READ", ("R", "EH1", "D")), ("READ", ("R", "IY1", "D")), ("word", ("W", "ER1", "D")),
    ]


def test_probabilities_only_for_the_model_and_cancelling_until_resumed(plain, tmp_path):
    lexicon = tmp_path / "lexicon.dict"
    lexicon.write_text("CAT  K AE1 T\n")
    g2p = G2P(plain, lexicon=lexicon, nbest=4, probabilities=True)
    assert [found.probability for found in g2p.pronounce("cat").pronunciations] == [None]
    # bat has two pronunciations of one path each, weights 0.7 and 1.7.
    assert [found.probability for found in g2p.pronounce("bat").pronunciations] == pytest.approx(
        [1 / (1 + math.exp(-1)), math.exp(-1) / (1 + math.exp(-1))])
    g2p.cancel()
    assert g2p.pronounce("bat").problem == "cancelled"
    assert [result.problem for result in g2p.pronounce_many(["bat", "cat"])] == ["cancelled", None]
    g2p.resume()
    assert g2p.pronounce("bat").pronunciations


# A one-state model with an arc that reads nothing and writes T: at weight 0
# it makes every word's paths hold unbounded mass; at 2.0, a finite one.
@pytest.mark.parametrize("loop_weight, options, undefined", [
    (0.0, {"probabilities": True}, True),
    (0.0, {"probabilities": True, "min_prob": 0.5}, True),
    (0.0, {"ranking": "probability"}, True),
    (0.0, {}, False),
    (2.0, {"probabilities": True}, False),
])
def test_probabilities_undefined_are_flagged_with_the_pronunciations_kept(tmp_path, loop_weight, options,
                                                                           undefined):
    looped = compile_model(tmp_path, arcs=[*ARCS, ("<eps>", "T", loop_weight)])
    result = G2P(looped, nbest=3, **options).pronounce("bat")
    assert len(result.pronunciations) == 3
    weights = [found.weight for found in result.pronunciations]
    if undefined:
        assert result.problem == "probabilities undefined: the model's cycles hold unbounded mass"
        assert [found.probability for found in result.pronunciations] == [None] * 3
        assert weights == sorted(weights)
    else:
        assert result.problem is None
        if options:
            assert all(0 < found.probability < 1 for found in result.pronunciations)


@pytest.mark.parametrize("options, message", [
    ({"search": "all"}, "search must be 'distinct' or 'paths'"),
    ({"ranking": "best"}, "ranking must be 'path' or 'probability'"),
    ({"min_prob": 1.5}, "min_prob must be between 0 and 1"),
    ({"search": "paths", "probabilities": True}, "need search='distinct'"),
])
def test_options_of_the_searches_are_checked(plain, options, message):
    with pytest.raises(ValueError, match=message):
        G2P(plain, lexicon=None, **options)


def test_typographic_apostrophes_and_hyphens_read_as_the_lexicons(plain, tmp_path):
    lexicon = tmp_path / "lexicon.tsv"
    lexicon.write_text("it's\tIH1 T S\naujourd'hui\tO Z U R D W I\ne-mail\tIY1 M EY1 L\n", encoding="utf-8")
    g2p = G2P(plain, lexicon=lexicon)
    # Each row: the word as typeset, the lexicon's first phoneme.
    cases = [
        ("it\u2019s", "IH1"),  # right single quotation mark
        ("IT\u02bcS", "IH1"),  # modifier letter apostrophe
        ("aujourd\u2019hui", "O"),
        ("e\u2010mail", "IY1"),  # hyphen
        ("e\u2011mail,", "IY1"),  # non-breaking hyphen, then a comma to strip
        ("(it\u2019s)", "IH1"),
    ]
    for word, first in cases:
        result = g2p.pronounce(word)
        assert result.word == word
        assert [(p.phonemes[0], p.source) for p in result.pronunciations] == [(first, "lexicon")], word


def test_opening_marks_come_off_with_closing_ones_before_all_of_them(plain, tmp_path):
    lexicon = tmp_path / "lexicon.tsv"
    lexicon.write_text("u.s.\tY UW1 EH1 S\nu.s\tY UW1 Z\n'em\tAH0 M\nem\tEH1 M\n", encoding="utf-8")
    g2p = G2P(plain, lexicon=lexicon)
    cases = {
        "U.S.": "Y UW1 EH1 S",
        "U.S.,": "Y UW1 EH1 S",
        "(U.S.)": "Y UW1 EH1 S",
        '"U.S."': "Y UW1 EH1 S",
        '"U.S.",': "Y UW1 EH1 S",
        "(((U.S.)))": "Y UW1 EH1 S",  # three marks a side are still tried
        "((((U.S.))))": "Y UW1 Z",  # past them, only the form without any
        "U.S": "Y UW1 Z",
        "'em": "AH0 M",
        "('em)": "AH0 M",
        "(em)": "EH1 M",
        "'em'": "AH0 M",
    }
    for word, phonemes in cases.items():
        assert " ".join(best(g2p, word)) == phonemes, word


def test_a_threshold_of_99_or_more_is_taken_at_its_word(tmp_path):
    # a reads AE1 (60) or EY1 (70): "aa" reads 120, 130 (twice) and 140.
    heavy = compile_model(tmp_path / "heavy", arcs=[("a", "AE1", 60.0), ("a", "EY1", 70.0), ("b", "B", 0.5)])
    cases = [
        # (threshold, word, weights kept, or the problem)
        (None, "aa", [120.0, 130.0, 130.0]),
        (99.0, "aa", "every pronunciation filtered out: each weighs more than the threshold 99"),
        (99.0, "ab", [60.5, 70.5]),
        (130.0, "aa", [120.0, 130.0, 130.0]),  # as heavy as the threshold: kept
        (129.5, "aa", [120.0]),
        (1e9, "aa", [120.0, 130.0, 130.0]),
        (65.0, "ab", [60.5]),
    ]
    for threshold, word, expected in cases:
        for search in ("distinct", "paths"):
            result = G2P(heavy, nbest=3, threshold=threshold, search=search).pronounce(word)
            if isinstance(expected, str):
                assert (result.pronunciations, result.problem) == ((), expected), (threshold, word, search)
            else:
                weights = [p.weight for p in result.pronunciations]
                assert weights == pytest.approx(expected), (threshold, word, search)
    # The command line passes its number on, and has no threshold unless given one.
    for options, weights in ((["--threshold", "125"], ["120.0000"]), ([], ["120.0000", "130.0000", "130.0000"])):
        shown = run_vurel("g2p", "-m", str(heavy), "-n", "3", *options, "aa")
        assert [line.split("\t")[1] for line in shown.stdout.splitlines()] == weights, shown.stderr


@pytest.mark.parametrize("keywords, error, message", [
    ({"lang": 5}, TypeError, "lang must be a language code (str) or None, not int"),
    ({"lexicon": 5}, TypeError, "lexicon must be a path (str or os.PathLike) or None, not int"),
    ({"lexicon": b"lexicon.tsv"}, TypeError, "lexicon must be a path (str or os.PathLike) or None, not bytes"),
    ({"min_prob": "x"}, TypeError, "min_prob must be a number, not str"),
    ({"min_prob": float("nan")}, ValueError, "min_prob must be a number, not NaN"),
    ({"nbest": 2**63}, ValueError, f"nbest must be at most {2**63 - 1}, not {2**63}"),
    ({"beam": -1}, ValueError, "beam must be at least 0, not -1"),
    ({"beam": 2**64}, ValueError, f"beam must be at most {2**63 - 1}, not {2**64}"),
    ({"threshold": "5"}, TypeError, "threshold must be a number, not str"),
    ({"threshold": float("nan")}, ValueError, "threshold must be a number, not NaN"),
    ({"pmass": None}, TypeError, "pmass must be a number, not NoneType"),
    ({"pmass": True}, TypeError, "pmass must be a number, not bool"),
    ({"ipa": 1}, TypeError, "ipa must be True or False, not int"),
    ({"probabilities": "yes"}, TypeError, "probabilities must be True or False, not str"),
    ({"background": None}, TypeError, "background must be True or False, not NoneType"),
    ({"accumulate": 0}, TypeError, "accumulate must be True or False, not int"),
    ({"case": "title"}, ValueError, "case must be 'auto' or 'keep' or 'lower' or 'upper', not 'title'"),
    ({"unknown": None}, TypeError, "unknown must be 'report' or 'drop', not NoneType"),
    ({"search": 1}, TypeError, "search must be 'distinct' or 'paths', not int"),
    ({"delim": 5}, TypeError, "delim must be a str, not int"),
])
def test_every_parameter_is_checked_by_name(plain, keywords, error, message):
    with pytest.raises(error) as caught:
        G2P(plain, **keywords)
    assert type(caught.value) is error and str(caught.value) == message


@pytest.mark.parametrize("words, batch, error, message", [
    ([1, 2], 64, TypeError, "words must hold only str, not int"),
    (["cat", None], 64, TypeError, "words must hold only str, not NoneType"),
    ("cat", 64, TypeError, "words must be an iterable of str, not a single str"),
    (b"cat", 64, TypeError, "words must be an iterable of str, not a single bytes"),
    (5, 64, TypeError, "words must be an iterable of str, not int"),
    (["cat"], 0, ValueError, "batch must be at least 1, not 0"),
    (["cat"], "2", TypeError, "batch must be an int, not str"),
])
def test_the_words_of_pronounce_many_are_checked_by_name(plain, words, batch, error, message):
    g2p = G2P(plain)
    for method in (g2p.pronounce_many, g2p.pronounce_batches):
        with pytest.raises(error) as caught:
            list(method(words, batch=batch))
        assert type(caught.value) is error and str(caught.value) == message
    with pytest.raises(TypeError, match="^model must be a path"):
        G2P(5)
