"""The language registry on a small data package shaped like gruut-lang-de:
first-use training, lexicon first, spelling, the command line, and the
message for a missing package."""

from __future__ import annotations

import importlib.metadata
import json
import os
import random
import sqlite3
import subprocess
import sys
import unicodedata
from pathlib import Path

import pytest

from cli_fixtures import run_vurel
from vurel import cli, languages
from vurel.g2p import G2P

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import epsilon_mass  # noqa: E402

# Each letter's phoneme; other letters stand for themselves.
PHONEMES = {"e": "ə", "ä": "ɛ", "é": "eː", "ü": "y", "h": "h"}
WORDS = ("bad ball blau dorf feld gabe gras hand kind land maus nebel ohr rad rose salz sand see tafel tier ton "
         "topf wald wand wolke äpfel bär kälte müde café armée élan").split()
# (row id, word, pron_order, phonemes): "tag" lists its second variant first,
# "Berlin" is capitalised, "cafe\u0301" is not NFC, "schiff" and "masse"
# follow the spelling as the real lexicon does, and the last two rows cannot
# be trained on.
SPECIAL_ROWS = [
    (1001, "tag", 1, "t a x"),
    (1002, "tag", 0, "t aː k"),
    (1003, "Berlin", 0, "b ɛ r l iː n"),
    (1004, "ente\u0301", 0, "ɛ n t eː"),
    (1007, "schiff", 0, "ʃ ɪ f f"),
    (1008, "masse", 0, "m a s z ə"),
    (1005, "_ici", 0, "i s i"),
    (1006, "leer", 0, ""),
]
VERSION = "9.9"


def _pronounce(word: str) -> str:
    return " ".join(PHONEMES.get(letter, letter) for letter in word)


def make_data_package(root, version=VERSION):
    """A directory for sys.path holding gruut_lang_de with its lexicon.db and
    the distribution's metadata."""
    package = root / "gruut_lang_de"
    package.mkdir(parents=True, exist_ok=True)
    (package / "__init__.py").write_text("raise ImportError('the data package is never imported')\n")
    database = package / "lexicon.db"
    database.unlink(missing_ok=True)
    connection = sqlite3.connect(database)
    connection.execute("CREATE TABLE word_phonemes (id INTEGER PRIMARY KEY AUTOINCREMENT, word TEXT, "
                       "pron_order INTEGER, phonemes TEXT, role TEXT)")
    rows = [(number, word, 0, _pronounce(word)) for number, word in enumerate(WORDS, start=1)] + SPECIAL_ROWS
    connection.executemany("INSERT INTO word_phonemes VALUES (?, ?, ?, ?, '')", rows)
    connection.commit()
    connection.close()
    for old in root.glob("gruut_lang_de-*.dist-info"):
        (old / "METADATA").unlink()
        old.rmdir()
    info = root / f"gruut_lang_de-{version}.dist-info"
    info.mkdir()
    (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: gruut-lang-de\nVersion: {version}\n"
                                   "Classifier: License :: OSI Approved :: MIT License\n")
    return root


@pytest.fixture(scope="module")
def german(tmp_path_factory):
    """The fixture package on sys.path and a cache whose model the first use
    of ``--lang de`` trained; yields the environment for subprocesses, with
    that first use's standard error under "first use"."""
    root = make_data_package(tmp_path_factory.mktemp("data"))
    cache = tmp_path_factory.mktemp("cache")
    env = dict(os.environ, PYTHONPATH=str(root), XDG_CACHE_HOME=str(cache))
    first = run_vurel("g2p", "--lang", "de", "tag", env=env)
    assert first.returncode == 0, first.stderr
    with pytest.MonkeyPatch.context() as patch:
        patch.syspath_prepend(str(root))
        patch.setenv("XDG_CACHE_HOME", str(cache))
        yield {**env, "first use": first.stderr}


def test_lexicon_is_read_in_the_models_spelling_and_unusable_entries_are_counted(german, tmp_path):
    language = languages.get("de")
    lexicon = language.lexicon()
    assert lexicon["tag"] == (("t", "aː", "k"), ("t", "a", "x"))  # pron_order, not row order
    assert "berlin" in lexicon and "Berlin" not in lexicon
    assert unicodedata.normalize("NFC", "ente\u0301") in lexicon
    assert "leer" not in lexicon

    written, skipped = languages.write_training_lexicon(language.entries(), tmp_path / "train.tsv")
    assert (written, skipped) == (len(WORDS) + 6, 2)
    lines = (tmp_path / "train.tsv").read_text(encoding="utf-8").splitlines()
    assert "berlin\tb ɛ r l iː n" in lines and not any("_" in line or line.endswith("\t") for line in lines)


def test_first_use_trains_once_and_names_the_file_after_data_version_and_recipe(german, tmp_path, monkeypatch):
    language = languages.get("de")
    path = language.model_path()
    assert path.name == f"de-gruut-{VERSION}-r{language.recipe}.fst" and path.is_file()
    assert german["first use"] == (f"vurel: training the German model on {len(WORDS) + 6} gruut-lang-de entries, "
                                   "2 unusable skipped (first use only)\n")
    monkeypatch.setattr(languages, "find_trainer", lambda: None)
    assert languages.ensure_model(language, progress=False) == path  # cached: the trainer is not needed

    newer = make_data_package(tmp_path / "newer", version="10.0")
    monkeypatch.syspath_prepend(str(newer))
    assert language.model_path().name == f"de-gruut-10.0-r{language.recipe}.fst"
    with pytest.raises(languages.DefaultModelError, match="cannot train the German model: the trainer"):
        languages.ensure_model(language, progress=False)


def test_lexicon_first_then_the_model_on_the_models_letters(german):
    g2p = G2P(lang="de", nbest=2, ipa=True)
    # Each row: word, source of its first pronunciation, its phonemes.
    cases = [
        ("Tag", "lexicon", "t aː k"),
        ("BERLIN", "lexicon", "b ɛ r l iː n"),
        ("ente\u0301", "lexicon", "ɛ n t eː"),  # decomposed input meets the NFC entry
        ("Straße", "model", None),  # the model lacks ß: decoded as strasse
        ("élan", "lexicon", "eː l a n"),
    ]
    for word, source, phonemes in cases:
        result = g2p.pronounce(word)
        assert result.pronunciations[0].source == source, word
        if phonemes is not None:
            assert " ".join(result.pronunciations[0].phonemes) == phonemes, word
    assert [p.phonemes for p in g2p.pronounce("tag").pronunciations] == [("t", "aː", "k"), ("t", "a", "x")]
    assert g2p.pronounce("tag").pronunciations[0].ipa == "taːk"
    # A model file given with the language still takes the language's lexicon.
    given = G2P(languages.get("de").model_path(), lang="de")
    assert given.pronounce("tag").pronunciations[0].source == "lexicon"

    model_only = G2P(lang="de", lexicon=None)

    def best(word):
        return model_only.pronounce(word).pronunciations[0].phonemes

    assert best("Straße") == best("strasse") and "ß" not in model_only._letters
    # é is a letter of the model and keeps its own sound; ê is not and folds to e.
    assert best("éta") != best("eta")
    assert best("êta") == best("eta")
    assert best("éta")[0] == "eː"


def test_lang_on_the_command_line(german):
    german = {name: value for name, value in german.items() if name != "first use"}
    result = run_vurel("g2p", "--lang", "de", "--ipa", "Tag", "Straße", env=german)
    assert result.returncode == 0, result.stderr
    first, second = result.stdout.splitlines()
    assert first == "Tag\t0.0000\tt aː k\tlexicon\ttaːk"
    word, _, phonemes, source, ipa = second.split("\t")
    assert (word, source, ipa) == ("Straße", "model", phonemes.replace(" ", ""))
    assert "no IPA for phonemes" not in result.stderr

    listed = [json.loads(line) for line in run_vurel("languages", "--json", env=german).stdout.splitlines()]
    assert len(listed) == 15 and listed[0]["code"] == "en"
    assert [(row["installed"], row["cached"]) for row in listed if row["code"] == "de"] == [(VERSION, True)]

    info = run_vurel("info", "--lang", "de", "--json", env=german)
    about = json.loads(info.stdout)
    assert about["cached"] and about["file"]["file_size"] > 0 and about["notation"] == "IPA"

    for args, message in [
        (("g2p", "--lang", "xx", "tag"), "vurel g2p: error: argument -l/--lang: unknown language 'xx'; known: en, ar, "),
        (("info", "--lang", "de", "model.fst"), "vurel info: error: give a model file or --lang, not both"),
    ]:
        failed = run_vurel(*args, env=german)
        assert failed.returncode == 2 and failed.stderr.startswith(message), failed.stderr


def test_a_missing_data_package_names_its_pip_command(monkeypatch, capsys):
    real = importlib.metadata.version

    def version(name):
        if name == "gruut-lang-de":
            raise importlib.metadata.PackageNotFoundError(name)
        return real(name)

    monkeypatch.setattr(importlib.metadata, "version", version)
    for args in (["g2p", "--lang", "de", "Straße"], ["info", "--lang", "de"]):
        assert cli.main(args) == 1
        assert capsys.readouterr().err == 'vurel: error: German needs the gruut-lang-de package: pip install "vurel[de]"\n'
    assert cli.main(["languages"]) == 0
    row = next(line for line in capsys.readouterr().out.splitlines() if line.startswith("de "))
    assert 'pip install "vurel[de]"' in row


@pytest.mark.parametrize("blocked", ["cache root is a file", "lock is a directory"])
def test_an_unwritable_cache_is_named_with_the_way_around_it(german, tmp_path, monkeypatch, blocked):
    # Run as root, permissions would not stop a write: the cache's own paths are blocked instead.
    root = tmp_path / "cache"
    if blocked == "cache root is a file":
        root.write_text("")
        directory = root / "vurel"
    else:
        directory = root / "vurel"
        (directory / "train.lock").mkdir(parents=True)
    monkeypatch.setenv("XDG_CACHE_HOME", str(root))
    monkeypatch.delenv(languages.ENVIRONMENT_OVERRIDE, raising=False)
    for lang, way in (("de", "or pass a model file"), ("en", f"or {languages.ENVIRONMENT_OVERRIDE} to a model file")):
        with pytest.raises(languages.DefaultModelError) as caught:
            G2P(lang=lang)
        message = str(caught.value)
        assert message.startswith(f"cannot write the model cache {directory} (") and message.endswith(
            f"): set XDG_CACHE_HOME to a writable directory, {way}"), message
    env = {name: value for name, value in german.items() if name != "first use"}
    failed = run_vurel("g2p", "--lang", "de", "tag", env={**env, "XDG_CACHE_HOME": str(root)})
    assert failed.returncode == 1
    assert failed.stderr.startswith(f"vurel: error: cannot write the model cache {directory} (")
    assert failed.stderr.count("\n") == 1 and "Errno" not in failed.stderr and "train.lock" not in failed.stderr


def test_a_process_waiting_for_anothers_training_says_so(german, tmp_path):
    import fcntl
    import select
    import subprocess
    import sys

    cache = tmp_path / "cache"
    (cache / "vurel").mkdir(parents=True)
    env = {name: value for name, value in german.items() if name != "first use"}
    with open(cache / "vurel" / "train.lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        waiting = subprocess.Popen([sys.executable, "-m", "vurel", "g2p", "--lang", "de", "tag"],
                                   env={**env, "XDG_CACHE_HOME": str(cache)}, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        # Without the message the process would wait in silence: give up after a while.
        said = select.select([waiting.stderr], [], [], 60)[0]
        first = waiting.stderr.readline() if said else ""
        fcntl.flock(lock, fcntl.LOCK_UN)
    out, rest = waiting.communicate(timeout=120)
    assert first == "vurel: waiting for another process to finish training the German model (first use only)\n"
    assert waiting.returncode == 0 and out.startswith("tag\t"), rest
    assert rest.startswith("vurel: training the German model on ")


@pytest.mark.parametrize("line, shown", [
    ("vurel-train: aligning 12 entries", "aligning 12 entries"),
    ("/c/vurel/training-x1/lexicon.tsv:12: skipped: no tab", "line 12 skipped: no tab"),
    ("/c/vurel/training-x1/lexicon.tsv: 1 malformed lines skipped, 1 duplicate entries dropped",
     "1 malformed line skipped, 1 duplicate dropped"),
    ("/c/vurel/training-x1/lexicon.tsv: 2 malformed lines skipped, 0 duplicate entries dropped",
     "2 malformed lines skipped, 0 duplicates dropped"),
    ("vurel-train: /c/vurel/training-x1/lexicon.tsv: 1 malformed line skipped, 1 duplicate dropped",
     "1 malformed line skipped, 1 duplicate dropped"),
    ("vurel-train: writing the model to /c/vurel/training-x1/de-gruut-2.0.1-r5.fst", "writing the model"),
])
def test_the_training_status_names_no_temporary_file_and_counts_in_good_grammar(line, shown):
    assert languages.status_text(line) == shown


def test_the_training_status_line_fits_the_terminal(german, tmp_path, monkeypatch, capsys):
    trainer = tmp_path / "vurel-train"
    chatter = "\n".join([
        "echo 'vurel-train: aligning 36 entries, which takes a while on a large lexicon of many words' >&2",
        'echo "$2: 1 malformed lines skipped, 1 duplicate entries dropped" >&2',
        'echo "vurel-train: writing the model to $3" >&2',
    ])
    trainer.write_text(f"#!/bin/sh\n{chatter}\ncp {languages.get('de').model_path()} \"$3\"\n")
    trainer.chmod(0o755)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    monkeypatch.setattr(languages, "find_trainer", lambda: str(trainer))
    monkeypatch.setattr(languages, "_terminal_columns", lambda: 40)
    languages.ensure_model(languages.get("de"), progress=True)
    written = capsys.readouterr().err
    status = written.split("\n")[-2]
    header_lines = written[: written.index("\r")].splitlines()
    assert all(len(line) <= 39 for line in header_lines) and header_lines[0] == "vurel: training the German model on 38"
    updates = status.split("\r\x1b[K")[1:]
    whole = ["aligning 36 entries, which takes a while on a large lexicon of many words",
             "1 malformed line skipped, 1 duplicate dropped", "writing the model", "done in "]
    assert len(updates) == len(whole) and all(len(update) <= 39 for update in updates)
    for update, line in zip(updates, whole):
        shown = update.split("] ", 1)[-1].strip()
        assert len(shown) >= min(len(line), 20) and line.startswith(shown[:len(line)]), (update, line)
    assert "training-" not in written


@pytest.mark.parametrize("code, phonemes, cleaned", [
    ("de", "ʃ ɪ f f", "ʃ ɪ f"),
    ("de", "ʃ t ʁ a s z ə", "ʃ t ʁ a s ə"),  # ß
    ("de", "v a g n ɪ s z ə n", "v a g n ɪ s ə n"),  # ss
    ("de", "ʔ a p ʃ l ʊ s z s p iː l", "ʔ a p ʃ l ʊ s p iː l"),  # sss
    ("de", "ʔ ʊ m f a z s t ə n", "ʔ ʊ m f a s t ə n"),
    ("de", "k ʊ n s t s t ɔ f f f a b ʁ iː k", "k ʊ n s t s t ɔ f a b ʁ iː k"),
    ("de", "a p͡f p͡f", "a p͡f"),  # an affricate is a consonant
    ("de", "g eː eː", "g eː eː"),  # vowels are not doubled consonants
    ("de", "z", "z"),
    ("de", "", ""),
    ("fr", "b ɛ l l ɑ̃ ʒ e", "b ɛ l ɑ̃ ʒ e"),
    ("nl", "v e ɹ l a m m e n d", "v e ɹ l a m e n d"),
    ("it", "f a t t o", "f a t t o"),  # long consonants are real: kept
    ("ar", "m u d d a", "m u d d a"),
    ("ru", "d lʲ i n n ɨ j", "d lʲ i n n ɨ j"),
    ("sv", "²v 'ɔ l d t ɑː r", "²v 'ɔ l d t ɑː r"),
])
def test_cleaning_rules_fix_what_follows_the_spelling_and_keep_long_consonants(code, phonemes, cleaned):
    for rule in languages.get(code).cleaning:
        phonemes = rule.apply(phonemes)
    assert phonemes == cleaned


def test_a_cleaned_lexicon_is_what_g2p_answers_and_the_model_learns(german):
    language = languages.get("de")
    lexicon = language.lexicon()
    assert lexicon["schiff"] == (("ʃ", "ɪ", "f"),) and lexicon["masse"] == (("m", "a", "s", "ə"),)
    assert lexicon["ball"] == (("b", "a", "l"),)
    raw = dict(language.entries(cleaned=False))
    assert raw["schiff"] == ("ʃ", "ɪ", "f", "f") and raw["ball"] == ("b", "a", "l", "l")
    # s z (masse), z s (none), doubled consonants (ball, schiff; "see" doubles a vowel).
    assert language.changes() == [1, 0, 2]
    assert G2P(lang="de").pronounce("Schiff").pronunciations[0].phonemes == ("ʃ", "ɪ", "f")
    trained = (language.model_path().parent / "training-check.tsv")
    languages.write_training_lexicon(language.entries(), trained)
    assert "schiff\tʃ ɪ f\n" in trained.read_text(encoding="utf-8")


@pytest.mark.parametrize("phonemes, bare", [
    ("ˈa b", "a b"),
    ("²v 'ɔ l", "v ɔ l"),
    ("ˌn ˈ a", "n a"),  # a mark on its own is no phoneme
    ("AH0 B AO1 R T", "AH B AO R T"),
    ("t͡s ɛ", "t͡s ɛ"),
])
def test_stress_marks_come_off_every_notation(phonemes, bare):
    assert " ".join(languages.without_stress(tuple(phonemes.split()))) == bare


def test_every_language_lists_its_wer_without_stress_and_english_has_one_set_of_figures(german):
    env = {name: value for name, value in german.items() if name != "first use"}
    rows = [json.loads(line) for line in run_vurel("languages", "--json", env=env).stdout.splitlines()]
    assert len(rows) == 15
    for row in rows:
        language = languages.get(row["code"])
        assert row["wer_without_stress"] is not None and row["wer_without_stress"] <= row["wer"], row
        # A cleaned lexicon gives its WER before cleaning as well; the others have nothing to compare.
        assert (row["wer_uncleaned"] is not None) == bool(language.cleaning), row
    # Stress marks are most of the errors where the spelling does not show them.
    assert all(row["wer"] - row["wer_without_stress"] > 10 for row in rows if row["code"] in ("it", "nl", "sv"))
    from vurel import english_model

    english = next(row for row in rows if row["code"] == "en")
    measured = english_model.describe_default_model()["measured"]
    assert measured.startswith(f"{english['wer']:.2f}% word and {english['per']:.2f}% phoneme error rate")
    assert f"{english['wer_without_stress']:.2f}% word error rate without stress marks" in measured


# Arcs as fstcompile reads them: from, to, letter, phoneme, weight (0 is none).
# ln 2 weighs a factor of 1/2.
LN2 = 0.6931471805599453


@pytest.mark.parametrize("arcs, radius", [
    pytest.param(["0 1 0 0 0.1", "1 2 0 0 0.1", "0 2 0 0 0.1"], 0.0, id="backoff arcs alone hold no cycle"),
    pytest.param(["0 0 1 5 0"], 0.0, id="a loop reading a letter is not counted"),
    pytest.param([f"0 0 0 5 {LN2}"], 0.5, id="one insertion loop: its factor"),
    pytest.param([f"0 0 0 5 {LN2}", f"0 0 0 6 {LN2}"], 1.0, id="two loops sharing the mass out twice"),
    pytest.param([f"0 1 0 5 {LN2}", f"1 0 0 0 {-2.5 * LN2}", "1 2 0 0 0"], 2 ** 0.75,
                 id="a cycle of period two through a backoff weighing less than nothing"),
])
def test_epsilon_mass_measures_the_spectral_radius_of_the_arcs_without_a_letter(tmp_path, arcs, radius):
    model = tmp_path / "model.fst"
    text = "\n".join(arcs) + "\n2\n"
    subprocess.run(["fstcompile", "-", str(model)], input=text.encode(), check=True)
    sources, targets, factors, states, _ = epsilon_mass.epsilon_arcs(str(model))
    assert epsilon_mass.spectral_radius(sources, targets, factors, states)[0] == pytest.approx(radius, abs=1e-6)


# A lexicon in which some letters are said as two phonemes, as Czech's ě and
# Italian's z are: the alignment the default recipe learns writes one of them
# without a letter.
TWO_PHONEMES = {"x": "k s", "ě": "j ɛ", "z": "t s"}


@pytest.mark.parametrize("code", ["cs", "it", "fr", "nl", "sv"])
def test_recipes_that_insert_no_phoneme_give_every_word_probabilities(tmp_path, code):
    draw = random.Random(5)
    words = {"".join(draw.choice("abdeiklmnoprstuxěz") for _ in range(draw.randint(2, 8))) for _ in range(300)}
    lexicon = tmp_path / "lexicon.tsv"
    lexicon.write_text("".join(f"{word}\t{' '.join(TWO_PHONEMES.get(letter, letter) for letter in word)}\n"
                               for word in sorted(words)), encoding="utf-8")
    model = tmp_path / "model.fst"
    subprocess.run([languages.find_trainer(), "train", str(lexicon), str(model), "--quiet",
                    *languages.get(code).trainer_arguments()], check=True, capture_output=True)
    insertions = epsilon_mass.epsilon_arcs(str(model))[4]
    assert insertions == 0
    result = G2P(model, lexicon=None, nbest=3, probabilities=True).pronounce("xězaxa")
    assert result.problem is None and result.pronunciations[0].phonemes == tuple("k s j ɛ t s a k s a".split())
    assert 0 < sum(pronunciation.probability for pronunciation in result.pronunciations) <= 1 + 1e-9
