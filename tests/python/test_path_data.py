"""PathData objects: properties, representation, identity, independence from the model."""

import gc

import pytest

from conftest import call_in_thread, fst_file_bytes, INPUT_SYMBOLS, OUTPUT_SYMBOLS
from vurel import Model

I = INPUT_SYMBOLS.index
O = OUTPUT_SYMBOLS.index


@pytest.mark.parametrize("word, text", [
    ("ab", f"PathData(path_weight=0.2500, uniques=[{O('AB')}])"),
    ("z", f"PathData(path_weight=0.0000, uniques=[{O('Z')}])"),
    ("x", f"PathData(path_weight=0.2000, uniques=[{O('K')}, {O('S')}])"),
    ("w", f"PathData(path_weight=0.0312, uniques=[{O('W')}])"),  # 0.03125: tie goes to even
    ("ww", f"PathData(path_weight=0.0625, uniques=[{O('W')}, {O('W')}])"),
    ("www", f"PathData(path_weight=0.0938, uniques=[{O('W')}, {O('W')}, {O('W')}])"),  # 0.09375: tie to even
    ("h", f"PathData(path_weight=1000000015047466219876688855040.0000, uniques=[{O('H')}])"),
])
def test_repr(model, word, text):
    (record,) = model.phoneticize_paths(word)
    assert repr(record) == text
    assert str(record) == text


def test_repr_of_negative_and_empty(write_model):
    # one arc of weight -0.5 writing the vetoed label 2: no uniques; -1.00005 as a float32 is
    # -1.0000499..., which rounds to -1.0000 (its shortest decimal form would give -1.0001)
    model = Model(write_model(fst_file_bytes([(0.0, [(3, 2, -0.5, 0), (4, 3, -1.00005, 0)])],
                                             INPUT_SYMBOLS, OUTPUT_SYMBOLS)))
    assert [repr(p) for p in model.phoneticize_paths("a")] == ["PathData(path_weight=-0.5000, uniques=[])"]
    assert [repr(p) for p in model.phoneticize_paths("b")] == ["PathData(path_weight=-1.0000, uniques=[3])"]


def test_properties_are_read_only(model):
    (record,) = model.phoneticize_paths("ab")
    before = repr(record)
    with pytest.raises(AttributeError):
        record.path_weight = 5.0
    with pytest.raises(AttributeError):
        del record.uniques
    assert repr(record) == before
    for name in ("path_weight", "path_weights", "ilabels", "olabels", "uniques"):
        assert type(record).__dict__[name].__doc__ == ""


def test_reads_are_fresh_lists(model):
    record = model.phoneticize_paths("abc")[0]
    first = record.ilabels
    first.append(99)
    assert record.ilabels == first[:-1]
    assert record.uniques is not record.uniques and record.uniques == record.uniques
    assert all(type(w) is float for w in record.path_weights)
    assert all(type(label) is int for label in record.ilabels + record.olabels + record.uniques)


def test_equality_is_identity(model):
    first, second = model.phoneticize_paths("ab")[0], model.phoneticize_paths("ab")[0]
    assert repr(first) == repr(second)
    assert first != second and first == first
    assert len({first, second}) == 2


def test_labels_read_as_signed_32_bit(write_model):
    arcs = [(I("a"), 0xFFFFFFFF, 0.5, 0), (I("b"), 0x80000000, 0.5, 0), (I("c"), O("A"), 1.5, 1)]
    model = Model(write_model(fst_file_bytes([(0.0, arcs), (0.25, [])], INPUT_SYMBOLS, OUTPUT_SYMBOLS)))
    (record,) = model.phoneticize_paths("a")
    assert (record.olabels, record.uniques) == ([-1], [])
    (record,) = model.phoneticize_paths("b")
    assert record.olabels == [-2**31]
    (record,) = model.phoneticize_paths("c")  # the final weight comes last as an epsilon entry
    assert (record.path_weight, record.path_weights, record.ilabels, record.olabels, record.uniques) == (
        1.75, [1.5, 0.25], [I("c"), 0], [O("A"), 0], [O("A")])


def test_records_outlive_the_model_and_travel_between_threads(model_path):
    model = Model(str(model_path))
    records = model.phoneticize_paths("abc", nbest=2)
    expected = [repr(r) for r in records]
    del model
    gc.collect()
    assert [repr(r) for r in records] == expected
    result, error = call_in_thread(lambda: [(repr(r), r.uniques) for r in records])
    assert error is None and [text for text, _ in result] == expected
    _, error = call_in_thread(records.clear)  # released on another thread
    assert error is None and records == []
