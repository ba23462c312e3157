"""Model construction failures and the symbol lookups find_isym / find_osym."""

import errno
import os

import pytest

from conftest import INPUT_SYMBOLS, OUTPUT_SYMBOLS, fst_file_bytes
from vurel import Model

ONE_STATE = [(0.0, [(3, 3, 1.0, 0)])]


def _load_error(path):
    with pytest.raises(ValueError) as caught:
        Model(path)
    assert type(caught.value) is ValueError
    return str(caught.value)


def test_missing_file(tmp_path):
    message = _load_error(str(tmp_path / "absent.fst"))
    assert message.startswith("failed to read FST: ")
    assert os.strerror(errno.ENOENT) not in message and "errno" not in message.lower()


def test_missing_symbol_tables(write_model):
    assert _load_error(write_model(fst_file_bytes(ONE_STATE, isyms=INPUT_SYMBOLS))) == \
        "FST is missing output symbol table"
    assert _load_error(write_model(fst_file_bytes(ONE_STATE))) == "FST is missing input symbol table"
    assert _load_error(write_model(fst_file_bytes(ONE_STATE, osyms=OUTPUT_SYMBOLS))) == \
        "FST is missing input symbol table"


def test_malformed_files_raise_value_error(write_model):
    # a truncated file, a wrong magic, and a symbol text that is not UTF-8: bad input, never fatal
    good = fst_file_bytes(ONE_STATE, INPUT_SYMBOLS, OUTPUT_SYMBOLS)
    for data in (good[:-3], b"\0" + good[1:], fst_file_bytes(ONE_STATE, ["<eps>", b"\xff"], OUTPUT_SYMBOLS)):
        assert _load_error(write_model(data)).startswith("failed to read FST: ")


def test_delimiter_default_and_keywords(model_path, capfd):
    path = str(model_path)
    default, empty = Model(path), Model(path=path, delim="")
    spaced = Model(delim=" ", path=path)
    for word in ("ab", "a b", "x"):
        assert default.phoneticize_sampling(word, nbest=3) == empty.phoneticize_sampling(word, nbest=3)
    capfd.readouterr()
    # with a space delimiter "a b" splits into a and b; with none the space is an unknown piece
    assert spaced.phoneticize("a b") == ["AB"]
    assert capfd.readouterr().err == ""
    assert default.phoneticize("a b") == ["AB"]
    assert capfd.readouterr().err == "Symbol: ' ' not found in input symbols table.\nMapping to null...\n"


def test_lookup_by_text(model, write_model):
    assert model.find_isym("a|b") == INPUT_SYMBOLS.index("a|b")
    assert model.find_isym("é") == INPUT_SYMBOLS.index("é")
    assert model.find_osym("K|S") == OUTPUT_SYMBOLS.index("K|S")
    assert model.find_isym("A") is None  # case-sensitive, and an output symbol only
    assert model.find_isym("") is None
    # a lone surrogate becomes three U+FFFD, one per byte of its surrogate-permitting encoding
    assert model.find_isym("\ud800") == INPUT_SYMBOLS.index("\ufffd\ufffd\ufffd")
    assert model.find_osym("\ud800") is None

    with_empty = Model(write_model(fst_file_bytes(ONE_STATE, ["<eps>", "|", "", "a"], ["<eps>"])))
    assert with_empty.find_isym("") == 2
    assert with_empty.find_osym("") is None


def test_lookup_of_str_subclasses_uses_str(model):
    class Renamed(str):
        def __str__(self):
            return "b"

    class Broken(str):
        def __str__(self):
            raise KeyError("no text")

    assert model.find_isym(Renamed("a")) == INPUT_SYMBOLS.index("b")
    with pytest.raises(KeyError):
        model.find_isym(Broken("a"))


def test_lookup_by_label(model):
    last = len(INPUT_SYMBOLS) - 1
    assert model.find_isym(0) == "<eps>"
    assert model.find_isym(last) == INPUT_SYMBOLS[last]
    assert model.find_isym(last + 1) is None
    assert model.find_isym(-1) is None
    assert model.find_isym(-(2**31)) is None
    assert model.find_isym(2**31 - 1) is None
    assert model.find_isym(True) == "|"
    assert model.find_isym(False) == "<eps>"
    assert model.find_osym(len(OUTPUT_SYMBOLS) - 1) == OUTPUT_SYMBOLS[-1]
    assert model.find_osym(len(OUTPUT_SYMBOLS)) is None
    text = model.find_osym(5)
    assert model.find_osym(text) == 5


@pytest.mark.parametrize("key, error, message", [
    (1.0, TypeError, "expected str or int"),
    (None, TypeError, "expected str or int"),
    (b"a", TypeError, "expected str or int"),
    (2**31, OverflowError, "out of range integral type conversion attempted"),
    (-(2**31) - 1, OverflowError, "out of range integral type conversion attempted"),
    (2**63, OverflowError, None),
])
def test_lookup_errors(model, key, error, message):
    for lookup in (model.find_isym, model.find_osym):
        with pytest.raises(error) as caught:
            lookup(key)
        assert type(caught.value) is error
        if message is None:  # the interpreter's own message
            assert str(caught.value) != "out of range integral type conversion attempted"
            assert not str(caught.value).startswith("argument")
        else:
            assert str(caught.value) == message
