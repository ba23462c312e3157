"""Words and options that a careful caller would not pass: very long words, words of
combining marks, NUL characters, lone surrogates, delimiter edge cases, huge nbest."""

import pytest

from conftest import compile_fst
from vurel import Model

UNKNOWN = "Symbol: '{}' not found in input symbols table.\nMapping to null...\n"


def test_ten_thousand_letters(model):
    word = "abcx" * 2500
    assert model.phoneticize(word) == ["AB", "K", "K", "S"] * 2500
    paths = model.phoneticize_paths(word, nbest=3)
    assert len(paths) == 3
    assert paths[0].uniques == [8, 5, 5, 6] * 2500
    assert len({tuple(p.uniques) for p in paths}) == 3


def test_words_without_known_letters(model, capfd):
    marks = "\u0301\u0308\u20dd" * 30
    assert model.phoneticize(marks) == []
    assert model.phoneticize_paths(marks, nbest=5) == []
    assert capfd.readouterr().err == "".join(UNKNOWN.format(mark) for mark in marks) * 2


def test_nul_characters(model, capfd):
    # NUL is an unknown letter like any other: reported, skipped, and the letters
    # around it meet again (so a and b still form the cluster a|b).
    assert model.phoneticize("a\0b") == model.phoneticize("ab") == ["AB"]
    assert capfd.readouterr().err == UNKNOWN.format("\0")
    assert model.phoneticize("\0" * 100) == []


def test_nul_as_delimiter(model_path, capfd):
    model = Model(str(model_path), "\0")
    assert model.phoneticize("a\0b") == ["AB"]
    assert model.phoneticize("a\0\0b") == ["AB"]  # the empty piece between is skipped
    assert model.phoneticize("\0") == []
    assert model.phoneticize("ab") == []
    assert capfd.readouterr().err == UNKNOWN.format("") * 3 + UNKNOWN.format("ab")


def test_lone_surrogates_are_refused(model):
    for call in (model.phoneticize, model.phoneticize_paths, model.phoneticize_sampling):
        with pytest.raises(UnicodeEncodeError):
            call("a\ud800b")
    with pytest.raises(UnicodeEncodeError):
        model.phoneticize("\udfff" * 10000)


def test_delimiter_edge_cases(model_path, capfd):
    spaced = Model(str(model_path), " ")
    assert spaced.phoneticize("a b") == ["AB"]
    assert spaced.phoneticize(" " * 1000) == []
    assert capfd.readouterr().err == UNKNOWN.format("") * 1001
    # Pieces equal to the epsilon or tie symbol map to labels 0 and 1.
    assert spaced.phoneticize("<eps> a <eps> b") == ["A", "B"]
    assert spaced.phoneticize("| a") == []
    assert capfd.readouterr().err == ""
    # A delimiter of two characters never matches: the word is one piece.
    assert Model(str(model_path), "  ").phoneticize("a  b") == []
    assert capfd.readouterr().err == UNKNOWN.format("a  b")
    # A combining mark as delimiter splits after the letter it would modify.
    assert Model(str(model_path), "\u0301").phoneticize("a\u0301b\u0301c") == ["AB", "K"]
    assert capfd.readouterr().err == ""


def test_huge_nbest_on_a_lattice_with_cycles(tmp_path):
    # At the only state, "a" reads A, and X|... phonemes come without reading: every
    # word has infinitely many pronunciations, ever longer.
    path = compile_fst(tmp_path, "loop.fst", arcs=[("a", "A", 1.0), ("<eps>", "K", 0.5)])
    model = Model(str(path))
    few = model.phoneticize_sampling("a", nbest=5)
    assert few[0] == ["A"] and len(few) == 5
    for nbest in (2**64 - 1, 10**6):
        paths = model.phoneticize_paths("a", nbest=nbest)
        assert 1000 < len(paths) <= 10000
        assert [[model.find_osym(label) for label in p.uniques] for p in paths[:5]] == few
