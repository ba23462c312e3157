"""The text layer's C++ part as vurel._native binds it: word segments and number spell-out."""

from __future__ import annotations

import ast
import inspect
import threading
from pathlib import Path

import pytest

import vurel
from vurel import _native

LANGUAGES = ("en", "de", "fr", "es", "it", "pt", "nl", "ru", "cs", "sv", "ca", "ar", "fa", "sw", "lb")
STUB = Path(vurel.__file__).with_name("_native.pyi")


@pytest.mark.parametrize(
    "text, words",
    [
        # Offsets count code points: an astral emoji is one, not two (UTF-16) or four (bytes).
        ("\U0001F600 don't", [("\U0001F600", _native.SEGMENT_OTHER), ("don't", _native.SEGMENT_LETTER)]),
        ("e\u0301t\u00e9 1,234.5", [("e\u0301t\u00e9", _native.SEGMENT_LETTER), ("1,234.5", _native.SEGMENT_NUMBER)]),
        ("\u4e2d\u6587", [("\u4e2d\u6587", _native.SEGMENT_IDEOGRAPHIC)]),
        ("", []),
    ],
)
def test_word_segments_are_code_point_spans_of_the_text(text, words):
    segments = _native.word_segments(text)
    assert [start for start, _, _ in segments] + [len(text)] == [0] + [end for _, end, _ in segments]
    assert [(text[start:end], kind) for start, end, kind in segments if text[start:end] != " "] == words


def test_segment_kinds_are_the_documented_numbers():
    kinds = [_native.SEGMENT_OTHER, _native.SEGMENT_NUMBER, _native.SEGMENT_LETTER,
             _native.SEGMENT_KANA, _native.SEGMENT_IDEOGRAPHIC]
    assert kinds == [0, 1, 2, 3, 4]


def test_ten_megabytes_are_split_to_the_end():
    piece = "Zw\u00f6lf 12 \U0001F600 "
    text = piece * (10_000_000 // len(piece.encode()))
    segments = _native.word_segments(text)
    assert segments[-1][1] == len(text)
    assert sum(kind == _native.SEGMENT_NUMBER for _, _, kind in segments) == text.count("12")


@pytest.mark.parametrize("language", LANGUAGES)
def test_every_registry_language_spells_a_number(language):
    speller = _native.NumberSpeller(language)
    assert speller.language == language
    assert {"%spellout-numbering", "%spellout-numbering-year"} <= set(speller.rule_sets)
    assert speller.spell("21") == speller.spell("21", "%spellout-numbering")
    assert not any(character.isdigit() for character in speller.spell("21"))


def test_soft_hyphens_and_named_rule_sets_come_through():
    assert _native.NumberSpeller("de").spell("21") == "ein\u00adund\u00adzwanzig"
    assert _native.NumberSpeller("en").spell("2026", "%spellout-numbering-year") == "twenty twenty-six"
    assert _native.NumberSpeller("en").spell(rule_set="%spellout-ordinal", number="2") == "second"


@pytest.mark.parametrize(
    "call, exception, named",
    [
        (lambda: _native.NumberSpeller("xx"), ValueError, "'xx'"),
        (lambda: _native.NumberSpeller("en\0"), ValueError, "'en\\x00'"),
        (lambda: _native.NumberSpeller(1), TypeError, "language"),
        (lambda: _native.NumberSpeller("en").spell("1.2.3"), ValueError, "'1.2.3'"),
        (lambda: _native.NumberSpeller("en").spell("1\0"), ValueError, "'1\\x00'"),
        (lambda: _native.NumberSpeller("en").spell("9" * 100 + "x"), ValueError, "'" + "9" * 40 + "'..."),
        (lambda: _native.NumberSpeller("en").spell("9" * 39 + "\u00e9" * 50), ValueError, "'" + "9" * 39 + "'..."),
        (lambda: _native.NumberSpeller("en").spell(12), TypeError, "number"),
        (lambda: _native.NumberSpeller("en").spell("1", "%spellout-nonsense"), ValueError, "'%spellout-nonsense'"),
        (lambda: _native.NumberSpeller("en").spell("1", None), TypeError, "rule_set"),
        (lambda: _native.NumberSpeller("cs").spell("1", "%spellout-ordinal"), ValueError, "'cs'"),
        (lambda: _native.word_segments(b"bytes"), TypeError, "text"),
        (lambda: _native.word_segments("\ud800"), UnicodeEncodeError, "surrogates"),
    ],
)
def test_bad_arguments_raise_naming_the_argument(call, exception, named):
    with pytest.raises(exception) as raised:
        call()
    assert named in str(raised.value)


def test_threads_share_one_speller_each_with_its_own_rule_set():
    # spell() keeps the GIL, so threads race here on a free-threaded build,
    # or once spell() lets the GIL go; the C++ test races them in any case.
    speller = _native.NumberSpeller("en")
    asked = {
        "%spellout-numbering": "one thousand nine hundred ninety",
        "%spellout-ordinal": "one thousand nine hundred ninetieth",
        "%spellout-numbering-year": "nineteen ninety",
    }
    wrong: list[str] = []

    def spell(rule_set: str) -> None:
        for _ in range(3000):
            words = speller.spell("1990", rule_set)
            if words != asked[rule_set]:
                wrong.append(words)

    threads = [threading.Thread(target=spell, args=(rule_set,)) for rule_set in asked for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert wrong == []


def test_text_names_match_the_stub():
    tree = ast.parse(STUB.read_text())
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    constants = {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)}
    speller = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "NumberSpeller")
    members = {item.name: item for item in speller.body if isinstance(item, ast.FunctionDef)}
    assert constants == {name for name in vars(_native) if name.startswith("SEGMENT_")}
    assert [a.arg for a in functions["word_segments"].args.args] == list(inspect.signature(_native.word_segments).parameters)
    assert set(members) - {"__new__"} == {name for name in vars(_native.NumberSpeller) if not name.startswith("_")}
    assert [a.arg for a in members["spell"].args.args] == list(inspect.signature(_native.NumberSpeller.spell).parameters)
    assert inspect.signature(_native.NumberSpeller.spell).parameters["rule_set"].default == ast.literal_eval(members["spell"].args.defaults[0])
    assert [a.arg for a in members["__new__"].args.args][1:] == list(inspect.signature(_native.NumberSpeller).parameters)
