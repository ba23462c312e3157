"""The commands' smaller contracts: evaluate's model and case, --ipa's
notation, usage errors, and the wording and escaping of what is written."""

from __future__ import annotations

import json
import os
import shutil
from pathlib import Path

import pytest

from cli_fixtures import ARCS, OUTPUT_SYMBOLS, compile_model, run_vurel


@pytest.fixture(scope="module")
def model(tmp_path_factory) -> Path:
    return compile_model(tmp_path_factory.mktemp("model"))


def one_line_error(result, status: int) -> str:
    """The one line of standard error of a run that failed with ``status``."""
    assert result.returncode == status, (result.stdout, result.stderr)
    assert len(result.stderr.splitlines()) == 1, result.stderr
    return result.stderr.strip()


# evaluate -----------------------------------------------------------------------


def test_evaluate_folds_the_dictionary_to_the_models_case(model, tmp_path):
    # The model's letters are lowercase; CMU-style files spell words in capitals.
    cmu = tmp_path / "upper.dict"
    cmu.write_text(";;; capitals\nCAT  K AE1 T\nBOX  B OW1 K S\nBOX(2)  B AA1 K S\nTAB  T EY1 B\n")
    tsv = tmp_path / "upper.tsv"
    tsv.write_text("CAT\tK AE1 T\nBOX\tB OW1 K S\nTAB\tT EY1 B\n")
    # A CMU file is CMU throughout: a tab further on is a blank, and only
    # the word before it is folded, not the phonemes after.
    mixed = tmp_path / "mixed.dict"
    mixed.write_text("CAT  K AE1 T\nBOX B OW1\tK S\nTAB\tT EY1 B\n")
    # (dictionary, --case, WER, words with unknown letters)
    cases = [
        (cmu, "auto", 100 / 3, 0),
        (tsv, "auto", 100 / 3, 0),
        (mixed, "auto", 100 / 3, 0),
        (cmu, "lower", 100 / 3, 0),
        (cmu, "keep", 100.0, 3),
        (cmu, "upper", 100.0, 3),
    ]
    for dictionary, case, wer, unknown in cases:
        result = run_vurel("evaluate", "-m", str(model), "-d", str(dictionary), "--case", case, "--json")
        assert result.returncode == 0, result.stderr
        report = json.loads(result.stdout)
        assert (report["words"], report["wer"], report["words_with_unknown_letters"]) == (
            3, pytest.approx(wer), unknown), (dictionary.name, case)
    # Capitals of any script: a model of Cyrillic letters, a file in capitals.
    cyrillic = compile_model(tmp_path, [("к", "K", 0.2), ("о", "OW1", 0.5), ("т", "T", 0.1)], name="cyrillic.fst",
                             input_symbols=["<eps>", "|", "_", "к", "о", "т"])
    words = tmp_path / "cyrillic.tsv"
    words.write_text("КОТ\tK OW1 T\n")
    result = run_vurel("evaluate", "-m", str(cyrillic), "-d", str(words), "--json")
    assert json.loads(result.stdout)["wer"] == 0.0, result.stderr
    # A folded file's messages still name the file and line given.
    bad = tmp_path / "bad.dict"
    bad.write_text("CAT  K AE1 T\nDOG\n")
    assert one_line_error(run_vurel("evaluate", "-m", str(model), "-d", str(bad)), 1) == (
        f"vurel: error: {bad}:2: word \"dog\" has no phonemes")


def test_evaluate_takes_the_default_model_or_the_languages(model, tmp_path, monkeypatch):
    from vurel import english_model

    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    monkeypatch.delenv(english_model.ENVIRONMENT_OVERRIDE, raising=False)
    cached = english_model.default_model_path()
    cached.parent.mkdir(parents=True)
    shutil.copy(model, cached)
    dictionary = tmp_path / "words.dict"
    dictionary.write_text("CAT  K AE1 T\nTAB  T EY1 B\n")
    for options in ((), ("--lang", "en"), ("-l", "EN")):
        result = run_vurel("evaluate", "-d", str(dictionary), *options)
        assert result.returncode == 0, result.stderr
        assert result.stdout.startswith("words: 2, WER: 50.00%"), options


# Usage errors exit 2 ------------------------------------------------------------


def test_usage_errors_exit_2_with_the_reason(model, tmp_path):
    dictionary = tmp_path / "words.dict"
    dictionary.write_text("CAT  K AE1 T\n")
    unknown = "argument -l/--lang: unknown language 'xx'"
    cases = [
        (("g2p", "--lang", "xx", "cat"), unknown),
        (("info", "--lang", "xx"), unknown),
        (("evaluate", "--lang", "xx", "-d", str(dictionary)), unknown),
        (("evaluate", "-m", str(model), "--lang", "en", "-d", str(dictionary)), "give --model or --lang, not both"),
        (("info", str(model), "--lang", "en"), "give a model file or --lang, not both"),
        (("evaluate", "-m", str(model)), "missing --dict FILE"),
    ]
    for args, reason in cases:
        message = one_line_error(run_vurel(*args), 2)
        assert message.startswith(f"vurel {args[0]}: error: {reason}"), message


def test_ipa_only_for_a_notation_known_to_be_arpabet(model, tmp_path):
    # The same model with two phonemes of another notation: k and t.
    def renamed(symbol: str) -> str:
        return symbol.lower() if symbol in ("K", "T") else symbol

    lowercase = compile_model(tmp_path, [(letter, renamed(phoneme), weight) for letter, phoneme, weight in ARCS],
                              name="lowercase.fst", output_symbols=[renamed(symbol) for symbol in OUTPUT_SYMBOLS])
    message = one_line_error(run_vurel("g2p", "-m", str(lowercase), "--ipa", "cat"), 2)
    assert message.startswith(f"vurel g2p: error: --ipa converts ARPAbet phonemes, and the model {lowercase} "
                              "has others: k t"), message
    # Without --ipa the model is used as it is, and an ARPAbet one converts.
    assert run_vurel("g2p", "-m", str(lowercase), "cat").stdout == "cat\t0.8000\tk AE1 t\tmodel\n"
    assert run_vurel("g2p", "-m", str(model), "--ipa", "cat").stdout == "cat\t0.8000\tK AE1 T\tmodel\tˈkæt\n"


# Wording and escaping -----------------------------------------------------------


def test_files_that_are_not_what_they_should_be_are_named(model, tmp_path):
    truncated = tmp_path / "truncated.fst"
    truncated.write_bytes(model.read_bytes()[:-8])
    words = tmp_path / "words.tsv"
    words.write_text("cat\tK AE1 T\nthis line is bad\n")
    cases = [
        (("train", "-d", os.devnull, "-o", str(tmp_path / "out.fst")), "vurel: error: the dictionary has no entries"),
        (("evaluate", "-m", str(truncated), "-d", str(words)), f"vurel: error: {truncated} is not a model file: "),
        # A tab-separated file's line without a tab is not a CMU entry.
        (("evaluate", "-m", str(model), "-d", str(words)),
         f"vurel: error: {words}:2: no tab between word and pronunciation"),
    ]
    for args, start in cases:
        message = one_line_error(run_vurel(*args), 1)
        assert message.startswith(start), message


def test_training_counts_read_in_good_grammar(tmp_path):
    dictionary = tmp_path / "words.dict"
    model = tmp_path / "model.fst"
    for extra, counts in (("", "0 lines skipped, 0 duplicates"), ("NOTHING\nCAT  K AE1 T\n", "1 line skipped, 1 duplicate")):
        dictionary.write_text("CAT  K AE1 T\nTAB  T AE1 B\n" + extra)
        result = run_vurel("train", "-q", "--skip-malformed", "-d", str(dictionary), "-o", str(model))
        assert result.returncode == 0, result.stderr
        assert result.stdout.startswith(f"entries: 2 (0 not alignable, {counts})\n"), result.stdout


def test_a_nul_in_a_word_is_escaped_like_the_characters_that_split_records(model):
    cases = [
        ("tsv", "c\0at\n", "c\\0at\t\t\tnone\n"),
        ("dict", "c\0at\n", "c\\0at # none: unknown characters: '\\x00'\n"),
        ("jsonl", "c\0at\n", '{"word": "c\\u0000at", '),
    ]
    for layout, text, start in cases:
        result = run_vurel("g2p", "-m", str(model), "--every-word", "-f", layout, input=text)
        assert result.returncode == 0 and result.stdout.startswith(start), (layout, result.stdout)
