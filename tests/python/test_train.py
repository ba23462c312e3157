"""Training and evaluating from Python (vurel.train, vurel.evaluate) and from
the ``vurel train`` and ``vurel evaluate`` commands."""

from __future__ import annotations

import json
import os
import stat
from pathlib import Path

import pytest

import vurel
from cli_fixtures import run_vurel
from vurel import G2P, _train, _vurel

DICTIONARY = """\
cat  K AE1 T
cats  K AE1 T S
tax  T AE1 K S
hat  HH AE1 T
hats  HH AE1 T S
ham  HH AE1 M
sax  S AE1 K S
chat  CH AE1 T
"""


@pytest.fixture()
def dictionary(tmp_path) -> Path:
    path = tmp_path / "tiny.dict"
    path.write_text(DICTIONARY, encoding="utf-8")
    return path


def test_trained_model_decodes_its_words_and_evaluates_clean(dictionary, tmp_path):
    messages: list[str] = []
    model_path = tmp_path / "tiny.fst"
    report = vurel.train(dictionary, model_path, order=4, progress=messages.append)
    assert report["entries"] == 8 and report["unalignable"] == 0
    assert report["one_primary_stress"] is True and report["one_primary_stress_share"] == 1.0
    assert report["bytes"] == model_path.stat().st_size
    assert messages[0] == "aligning 8 entries" and messages[-1].startswith("writing the model")

    model = vurel.Model(str(model_path))
    for line in DICTIONARY.splitlines():
        word, *phonemes = line.split()
        assert model.phoneticize(word) == phonemes

    clean = vurel.evaluate(model_path, dictionary, errors=True)
    assert (clean["words"], clean["word_errors"], clean["wer"], clean["per"]) == (8, 0, 0.0, 0.0)
    assert clean["errors"] == []

    other = tmp_path / "other.tsv"
    other.write_text("cat\tK AH1 T\nhat\tHH AE1 T\n", encoding="utf-8")
    measured = vurel.evaluate(model_path, other, errors=True)
    assert (measured["words"], measured["word_errors"], measured["wer"]) == (2, 1, 50.0)
    assert measured["errors"] == [
        {"word": "cat", "predicted": ["K", "AE1", "T"], "references": [["K", "AH1", "T"]], "edits": 1}
    ]
    assert "errors" not in vurel.evaluate(model_path, other)


def test_bad_input_raises_and_leaves_no_model(dictionary, tmp_path):
    model_path = tmp_path / "bad.fst"
    broken = tmp_path / "broken.dict"
    broken.write_text(DICTIONARY + "dog\n", encoding="utf-8")
    with pytest.raises(ValueError, match=r"broken\.dict:9"):
        vurel.train(broken, model_path)
    assert vurel.train(broken, model_path, skip_malformed=True)["skipped_lines"] == 1

    empty = tmp_path / "empty.dict"
    empty.write_text(";;; nothing here\n", encoding="utf-8")
    with pytest.raises(ValueError, match="no entries"):
        vurel.train(empty, tmp_path / "empty.fst")
    with pytest.raises(FileNotFoundError):
        vurel.train(tmp_path / "missing.dict", model_path)
    with pytest.raises(ValueError, match="would overwrite the dictionary"):
        vurel.train(dictionary, dictionary)
    assert dictionary.read_text(encoding="utf-8") == DICTIONARY
    with pytest.raises(FileNotFoundError):
        vurel.evaluate(tmp_path / "missing.fst", dictionary)
    with pytest.raises(ValueError):
        vurel.evaluate(broken, dictionary)  # not a model file

    for options in ({"order": 0}, {"alternatives": 0}, {"max_letters": 3}, {"smoothing": "good-turing"},
                    {"format": "xml"}, {"primary_stress": "two"}):
        with pytest.raises(ValueError):
            vurel.train(dictionary, tmp_path / "option.fst", **options)
        assert not (tmp_path / "option.fst").exists()
    with pytest.raises(TypeError):
        vurel.train(dictionary, model_path, progress="not callable")
    # One primary stress where no phoneme carries one would decode nothing.
    with pytest.raises(ValueError, match="primary stress"):
        vurel.train(dictionary, tmp_path / "stressless.fst", strip_stress=True, primary_stress="one")
    assert not (tmp_path / "stressless.fst").exists()
    assert vurel.train(dictionary, model_path, strip_stress=True)["one_primary_stress"] is False


def test_failing_progress_callback_stops_training_without_a_model(dictionary, tmp_path):
    model_path = tmp_path / "stopped.fst"
    calls = []

    def progress(message: str) -> None:
        calls.append(message)
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        vurel.train(dictionary, model_path, progress=progress)
    assert len(calls) == 1  # not called again after it raised
    assert not model_path.exists()

    # Stopped at its last stage, just before writing: a model already at the
    # path stays as it was.
    kept = tmp_path / "kept.fst"
    vurel.train(dictionary, kept, order=4)
    before = kept.read_bytes()

    def stop_before_writing(message: str) -> None:
        if message.startswith("writing the model"):
            raise RuntimeError("changed my mind")

    with pytest.raises(RuntimeError, match="changed my mind"):
        vurel.train(dictionary, kept, order=3, progress=stop_before_writing)
    assert kept.read_bytes() == before


def test_trainings_on_several_threads_at_once_match_one_alone(dictionary, tmp_path):
    """Training releases the GIL; runs on other threads must not disturb it."""
    from concurrent.futures import ThreadPoolExecutor

    # Enough entries (5,000 made-up words) that the trainings overlap.
    consonants = {"b": "B", "d": "D", "k": "K", "m": "M", "n": "N", "p": "P", "s": "S", "t": "T", "v": "V", "z": "Z"}
    vowels = {"a": "AE1", "e": "EH1", "i": "IH1", "o": "AA1", "u": "AH1", "ee": "IY1", "oo": "UW1", "ai": "EY1",
              "oa": "OW1", "ou": "AW1"}
    dictionary = tmp_path / "made-up.dict"
    with dictionary.open("w", encoding="utf-8") as out:
        for first, first_phoneme in consonants.items():
            for vowel, vowel_phoneme in vowels.items():
                for last, last_phoneme in consonants.items():
                    for suffix, suffix_phonemes in (("", ""), ("s", " Z"), ("er", " ER0"), ("ing", " IH0 NG"),
                                                    ("y", " IY0")):
                        out.write(f"{first}{vowel}{last}{suffix}  {first_phoneme} {vowel_phoneme} "
                                  f"{last_phoneme}{suffix_phonemes}\n")
    alone = tmp_path / "alone.fst"
    expected = vurel.train(dictionary, alone)
    paths = [tmp_path / f"thread{index}.fst" for index in range(4)]
    with ThreadPoolExecutor(max_workers=4) as pool:
        reports = list(pool.map(lambda path: vurel.train(dictionary, path), paths))
    assert [report["entries"] for report in reports] == [5000] * 4
    assert {report["states"] for report in reports} == {expected["states"]}
    for path in paths:
        assert path.read_bytes() == alone.read_bytes()


def test_decoder_module_keeps_its_surface_and_does_not_carry_the_trainer():
    assert {name for name in dir(_vurel) if not name.startswith("_")} == {"Model", "PathData"}
    trainer_message = b"keeping the paths with one primary stress"
    assert trainer_message in Path(_train.__file__).read_bytes()
    assert trainer_message not in Path(_vurel.__file__).read_bytes()


def test_commands_train_and_evaluate(dictionary, tmp_path):
    model_path = tmp_path / "cli.fst"
    trained = run_vurel("train", "--dict", str(dictionary), "-o", str(model_path), "--order", "4")
    assert trained.returncode == 0, trained.stderr
    assert "aligning 8 entries" in trained.stderr
    assert "one primary stress per word: yes" in trained.stdout
    evaluated = run_vurel("evaluate", "--model", str(model_path), "--dict", str(dictionary), "--json")
    assert evaluated.returncode == 0, evaluated.stderr
    assert json.loads(evaluated.stdout)["wer"] == 0.0

    # The positional form of earlier versions still works.
    again = run_vurel("train", str(dictionary), str(tmp_path / "again.fst"), "--quiet", "--json")
    assert again.returncode == 0 and again.stderr == ""
    assert json.loads(again.stdout)["entries"] == 8

    empty = tmp_path / "empty.dict"
    empty.write_text(";;; no entries\n")
    for args, status, message in (
        (("train", "-o", str(model_path)), 2, "vurel train: error: missing --dict FILE (see vurel train --help)"),
        (("train", "--dict", str(dictionary)), 2, "vurel train: error: missing -o MODEL"),
        # Without --model, evaluate takes the default model, as g2p does.
        (("evaluate", "--lang", "en"), 2, "vurel evaluate: error: missing --dict FILE"),
        (("evaluate", "--model", str(model_path)), 2, "vurel evaluate: error: missing --dict FILE"),
        (("train", str(dictionary)), 2, "or exactly two files"),
        (("train", "--dict", str(tmp_path / "none.dict"), "-o", str(model_path)), 1, "dictionary not found"),
        # A score over no words would read as perfect.
        (("evaluate", "--model", str(model_path), "--dict", str(empty)), 1,
         "vurel: error: the dictionary has no entries"),
    ):
        failed = run_vurel(*args)
        assert failed.returncode == status and message in failed.stderr, (args, failed.stderr)


def test_the_model_is_written_through_links_and_never_over_what_is_not_a_file(dictionary, tmp_path):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "real.fst").write_text("old")
    (tmp_path / "link.fst").symlink_to("sub/real.fst")
    os.mkfifo(tmp_path / "pipe")
    (tmp_path / "to-pipe.fst").symlink_to("pipe")
    cases = [
        ("link.fst", None),
        ("pipe", "pipe: not a regular file"),
        ("to-pipe.fst", f"to-pipe.fst (a link to {tmp_path / 'pipe'}): not a regular file"),
        ("sub/real.fst/x.fst", "sub/real.fst/x.fst: Not a directory"),
    ]
    for name, refusal in cases:
        result = run_vurel("train", "--dict", str(dictionary), "-o", str(tmp_path / name), "--order", "2")
        if refusal is None:
            assert result.returncode == 0, result.stderr
            assert (tmp_path / "link.fst").is_symlink()
            assert G2P(tmp_path / "sub" / "real.fst").pronounce("cat").pronunciations
            continue
        # Refused before any training, with the path given and the cause.
        assert result.returncode == 1 and "Traceback" not in result.stderr
        assert result.stderr == f"vurel: error: cannot write the model to {tmp_path}/{refusal}\n", name
    assert stat.S_ISFIFO(os.lstat(tmp_path / "pipe").st_mode)
    assert sorted(path.name for path in tmp_path.iterdir()) == ["link.fst", "pipe", "sub", "tiny.dict", "to-pipe.fst"]
