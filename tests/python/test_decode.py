"""The three decoding methods end to end: results, empty results, messages and files."""

import math

import numpy
import pytest

from conftest import INPUT_SYMBOLS, OUTPUT_SYMBOLS
from vurel import Model, PathData

I = INPUT_SYMBOLS.index
O = OUTPUT_SYMBOLS.index
UNKNOWN = "Symbol: '{}' not found in input symbols table.\nMapping to null...\n"


def test_results(model):
    paths = model.phoneticize_paths("ab", nbest=3)
    assert type(paths) is list and all(type(p) is PathData for p in paths)
    assert [(p.path_weight, p.uniques) for p in paths] == [
        (0.25, [O("AB")]), (2.0, [O("A"), O("B")]), (3.0, [O("E"), O("B")])]
    second = paths[1]
    assert (second.path_weights, second.ilabels, second.olabels) == ([1.0, 1.0], [I("a"), I("b")], [O("A"), O("B")])
    assert model.phoneticize("ab") == ["AB"]
    assert model.phoneticize_sampling("ab", nbest=3) == [["AB"], ["A", "B"], ["E", "B"]]
    assert model.phoneticize_sampling("x") == [["K", "S"]]
    assert model.phoneticize_sampling("é") == [["E"]]


def test_accumulate_log_adds_merged_weights(model):
    (merged,) = model.phoneticize_paths("x", nbest=2, accumulate=True)
    expected = numpy.float32(0.2) - numpy.float32(math.log1p(math.exp(-1.0)))
    assert merged.path_weight == pytest.approx(float(expected), abs=1e-6)
    (kept,) = model.phoneticize_paths("x", nbest=2)
    assert kept.path_weight == pytest.approx(0.2) and kept.path_weights == merged.path_weights


def test_failed_decoding_returns_empty_lists(model, capfd):
    for word in ("_", "", "q"):  # no path through the model; empty word; unknown grapheme only
        assert model.phoneticize(word) == []
        assert model.phoneticize_paths(word, nbest=5, write_fsts=False) == []
        assert model.phoneticize_sampling(word, nbest=5) == []
    assert capfd.readouterr().err == UNKNOWN.format("q") * 3


def test_unknown_graphemes_reported_on_descriptor_2(model, capfd):
    assert model.phoneticize("aqé\u0301") == ["A", "E"]
    captured = capfd.readouterr()
    assert captured.err == UNKNOWN.format("q") + UNKNOWN.format("\u0301")
    assert captured.out == ""


def test_same_call_same_result(model):
    first = [(p.path_weight, p.path_weights, p.ilabels, p.olabels, p.uniques)
             for p in model.phoneticize_paths("abc", nbest=4)]
    for _ in range(3):
        assert [(p.path_weight, p.path_weights, p.ilabels, p.olabels, p.uniques)
                for p in model.phoneticize_paths("abc", nbest=4)] == first


@pytest.mark.parametrize("flag", [True, numpy.True_])
def test_write_fsts_writes_acceptor_and_lattice(model, tmp_path, monkeypatch, flag):
    monkeypatch.chdir(tmp_path)
    assert model.phoneticize_paths("ab", nbest=0, write_fsts=flag) == []
    acceptor, lattice = Model("ab.fst"), Model("ab.lat.fst")
    assert acceptor.find_osym("a|b") == I("a|b")  # the input table on both sides
    assert lattice.find_isym("a|b") == I("a|b") and lattice.find_osym("AB") == O("AB")
    assert lattice.phoneticize("ab") == ["AB"]


def test_write_fsts_off_writes_nothing(model, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    model.phoneticize_paths("ab", write_fsts=False)
    model.phoneticize_paths("ab", write_fsts=numpy.False_)
    model.phoneticize_sampling("ab")
    model.phoneticize("ab")
    assert list(tmp_path.iterdir()) == []
