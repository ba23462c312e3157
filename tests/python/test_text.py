"""The text layer end to end on a small letter model: spans, how words
are split and spelled, punctuation, sentence ends, bad input, and the
arguments of `vurel.phonemize`."""

from __future__ import annotations

import json
import os
import string
import subprocess
import unicodedata

import pytest

from cli_fixtures import run_vurel
from vurel import G2P, phonemize
from vurel.text import TextReader
from vurel.text.output import phoneme_line, spoken_line
from vurel.text.pipeline import reads_as_word

LETTERS = string.ascii_lowercase + "äöüß'"
LEXICON = {
    "don't": "D OW N T", "e-mail": "IY M EY L", "nasa": "N AE S AH", "doctor": "D AA K T ER",
    "e": "EH", "zwei": "TS V AI", "tausend": "T AU Z N T", "sechs": "Z E K S", "und": "U N T",
    "zwanzig": "TS V A N TS I CH",
}


@pytest.fixture(scope="module")
def letter_model(tmp_path_factory):
    """One state: each letter to its upper-case phoneme (ß to SS), weight 1."""
    directory = tmp_path_factory.mktemp("letters")
    phonemes = [letter.upper() if letter != "ß" else "SS" for letter in LETTERS]
    (directory / "in.txt").write_text("".join(f"{s}\t{i}\n" for i, s in enumerate(["<eps>", "|", "_", *LETTERS])))
    (directory / "out.txt").write_text(
        "".join(f"{s}\t{i}\n" for i, s in enumerate(["<eps>", "|", "_", *dict.fromkeys(phonemes)])))
    arcs = "".join(f"0\t0\t{letter}\t{phoneme}\t1\n" for letter, phoneme in zip(LETTERS, phonemes)) + "0\n"
    model = directory / "model.fst"
    subprocess.run(["fstcompile", f"--isymbols={directory / 'in.txt'}", f"--osymbols={directory / 'out.txt'}",
                    "--keep_isymbols", "--keep_osymbols", "-", str(model)], input=arcs.encode(), check=True)
    lexicon = directory / "lexicon.tsv"
    lexicon.write_text("".join(f"{word}\t{phonemes}\n" for word, phonemes in LEXICON.items()), encoding="utf-8")
    return str(model), str(lexicon)


@pytest.fixture(scope="module")
def english(letter_model):
    return TextReader(G2P(letter_model[0], lang="en", lexicon=letter_model[1]))


def one(reader: TextReader, text: str):
    return reader.read([text])[0]


SPANS = [
    ("en", "Dr. Smith paid $4.50 on Dec. 9th, 2026; NASA and the FBI met at 10:30."),
    ("en", "𝔘nicode 𝔞stral: 🙂🙂 e\u0301te\u0301 50% 1/2 — “quoted” (x)"),
    ("de", "Am 9. Dezember 2026 um 14.30 Uhr kostete es 4,50 € z. B. für 1.234,5 km."),
    ("fr", "Le 1er mai, M. Dupont paie 4,50 € à 14h30."),
    ("ru", "9 декабря 2026 г. в 10:30 — 4,50 ₽."),
    ("en", "tab\tand\x00control\x07chars\u200b"),
]


@pytest.mark.parametrize(("lang", "text"), SPANS)
def test_spans_are_code_points_in_order_and_cover_all_but_white_space(letter_model, lang, text):
    reader = TextReader(G2P(letter_model[0], lang=lang, lexicon=letter_model[1]))
    found = one(reader, text)
    covered = [False] * len(text)
    previous_end = 0
    for token in found:
        assert token.text == text[token.start:token.end]
        assert previous_end <= token.start < token.end
        previous_end = token.end
        covered[token.start:token.end] = [True] * (token.end - token.start)
    left = "".join(c for c, done in zip(text, covered) if not done)
    assert all(c.isspace() or unicodedata.category(c) in ("Cc", "Cf") for c in left), repr(left)


def test_compounds_stay_whole_where_the_lexicon_has_them_and_split_where_not(english):
    found = {token.text: token for token in one(english, "e-mail state-of-the-art don't")}
    assert (found["e-mail"].words, found["e-mail"].source) == (["e-mail"], ["lexicon"])
    assert found["state-of-the-art"].words == ["state", "of", "the", "art"]
    assert found["state-of-the-art"].phonemes[3] == ("A", "R", "T")
    assert found["don't"].phonemes == [("D", "OW", "N", "T")]


@pytest.mark.parametrize(("text", "read"), [
    ("snake_case", [("word", ["snake", "case"])]),
    ("www.example.org", [("word", ["www", "example", "org"])]),
    ("me@example.org", [("word", ["me"]), ("symbol", ["at"]), ("word", ["example", "org"])]),
    ("MP3", [("acronym", ["em", "pee"]), ("number", ["three"])]),
])
def test_what_icu_keeps_in_a_word_but_is_not_spelling_is_read_apart(english, text, read):
    found = one(english, text)
    assert [(token.kind, token.words) for token in found] == read
    assert all(token.problem is None for token in found)


def test_a_number_compound_is_one_word_pronounced_in_its_lexicon_parts(letter_model):
    german = TextReader(G2P(letter_model[0], lang="de", lexicon=letter_model[1]))
    (token,) = one(german, "2026")
    assert token.words == ["zweitausendsechsundzwanzig"]
    assert token.phonemes == [tuple(" ".join(LEXICON[part] for part in ("zwei", "tausend", "sechs", "und",
                                                                         "zwanzig")).split())]
    assert token.source == ["lexicon"]


def test_acronyms_are_looked_up_read_as_words_or_spelled(english):
    found = {token.text: token for token in one(english, "NASA FBI NATO")}
    assert found["NASA"].source == ["lexicon"]
    assert found["FBI"].words == ["ef", "bee", "i"]
    assert found["FBI"].source == ["spelled"] * 3
    assert found["FBI"].phonemes[0] == ("E", "F")
    assert (found["NATO"].words, found["NATO"].source) == (["NATO"], ["model"])


def test_letter_names_of_several_words_and_lone_letters_are_spelled(letter_model):
    italian = TextReader(G2P(letter_model[0], lang="it", lexicon=letter_model[1]))
    found = one(italian, "JW e A.B.")
    assert [(token.text, token.words) for token in found] == [
        ("JW", ["i", "lunga", "doppia", "vu"]), ("e", ["e"]), ("A.B.", ["a", "bi"])]
    assert found[1].source == ["lexicon"] and found[2].source == ["spelled", "spelled"]
    (letter,) = one(italian, "W")
    assert (letter.words, letter.source) == (["doppia", "vu"], ["spelled", "spelled"])


@pytest.mark.parametrize(("lang", "letters", "word"), [
    ("en", "NASA", True), ("en", "NATO", True), ("en", "UNESCO", True), ("en", "SCUBA", True),
    ("en", "NAFTA", True), ("en", "STRICT", True),
    ("en", "FBI", False), ("en", "BBC", False), ("en", "CIA", False), ("en", "IBM", False), ("en", "UN", False),
    ("en", "NSA", False), ("en", "EMS", False), ("en", "AMD", False),
    ("de", "DAX", True), ("de", "SCHUFA", True), ("de", "ADAC", True),
    ("de", "BMW", False), ("de", "ZDF", False), ("de", "ARD", True),
    ("sw", "KIA", False), ("en", "A.B.C.", False),
    ("it", "FIAT", True), ("it", "PCI", False), ("es", "RENFE", True), ("fr", "SNCF", False), ("fr", "OTAN", True),
])
def test_which_capitals_read_as_a_word(lang, letters, word):
    assert reads_as_word(letters, lang) is word


def test_punctuation_is_kept_in_place_or_dropped(english):
    found = one(english, "Doctor, don't!")
    assert phoneme_line(found) == "D AA K T ER | , | D OW N T | !"
    assert phoneme_line(found, punctuation=False, word_separator=" ", phoneme_separator="") == "DAAKTER DOWNT"
    assert spoken_line(found) == "Doctor, don't!"
    assert spoken_line(one(english, "(Dr. Who)")) == "(doctor Who)"
    assert spoken_line(found, punctuation=False) == "Doctor don't"


@pytest.mark.parametrize(("text", "ends"), [
    ("Dr. Smith left. Then", [".", "Then"]),  # a title's period never ends one
    ("It is etc. The end", ["etc.", "end"]),  # an abbreviation's period before a capital does
    ("Is it? Yes!", ["?", "!"]),
    ("We met in the U.S. Then", ["U.S.", "Then"]),
    ("e.g. this", ["this"]),
    ("On the 3rd.", ["."]),
    ("He lives on Main St. He left.", ["St.", "."]),  # a street's period ends one
    ("He met St. John. Then", [".", "Then"]),
])
def test_sentence_ends(english, text, ends):
    assert [token.text for token in one(english, text) if token.sentence_end] == ends


def test_a_period_that_ends_an_abbreviation_and_a_sentence_is_shown_once(english):
    found = one(english, "It is etc. Doctor")
    assert spoken_line(found) == "It is et cetera. Doctor"
    assert phoneme_line(found).endswith("| . | D AA K T ER")
    assert spoken_line(one(english, "It is etc. for you")) == "It is et cetera for you"


@pytest.mark.parametrize(("text", "words", "phonemes"), [
    # Number words keep ICU's spelling, one word each, pronounced as their parts joined.
    ("26", ["twenty-six"], ["T W E N T Y S I X"]),
    ("1905", ["nineteen", "oh-five"], ["N I N E T E E N", "O H F I V E"]),
    ("-21", ["minus", "twenty-one"], ["M I N U S", "T W E N T Y O N E"]),
    # Compounds of the text itself are still read part by part.
    ("big-six", ["big", "six"], ["B I G", "S I X"]),
])
def test_number_words_are_one_word_each(english, text, words, phonemes):
    (token,) = one(english, text)
    assert token.words == words
    assert [" ".join(p) for p in token.phonemes] == phonemes


BAD = [
    # A 10 MB line: one token, reported as too long, not decoded.
    ("x" * 10_000_000, "too long"),
    # Control characters are not tokens; the words around them are read.
    ("a\x00b\x1bc\x7f", None),
    # A script the model has no letters for is reported as unknown.
    ("日本語 хорошо", "unknown characters"),
    # Lone surrogates, as file names can carry.
    ("a\udcff b", "dropped"),
]


@pytest.mark.parametrize(("text", "problem"), BAD, ids=["10MB", "controls", "scripts", "surrogates"])
def test_bad_input_never_raises_and_names_the_problem(english, text, problem):
    found = one(english, text)
    problems = [token.problem for token in found if token.problem]
    if problem is None:
        assert not problems and [token.text for token in found] == ["a", "b", "c"]
    else:
        assert problems and all(problem in p for p in problems), problems


def test_a_number_of_200_digits_is_read_in_groups_of_three(english):
    (token,) = one(english, "1" * 200)
    assert token.kind == "number"
    # 66 groups of 111 (one hundred eleven) and a last group of 11.
    assert token.words == ["one", "hundred", "eleven"] * 66 + ["eleven"]


def test_phonemize_takes_a_text_or_a_list_and_keeps_their_order(letter_model):
    model, lexicon = letter_model
    assert phonemize("don't, doctor", model=model, lexicon=lexicon) == "D OW N T | , | D AA K T ER"
    texts = [f"doctor {index}" for index in range(40)] + ["", "don't"]
    expected = [phonemize(text, model=model, lexicon=lexicon) for text in texts]
    assert phonemize(texts, model=model, lexicon=lexicon, jobs=3, batch=7) == expected
    assert expected[-2:] == ["", "D OW N T"]


@pytest.mark.parametrize(("arguments", "error", "name"), [
    ({"text_or_texts": 3}, TypeError, "text_or_texts"),
    ({"text_or_texts": ["a", b"b"]}, TypeError, "text_or_texts[1]"),
    ({"lang": "xx"}, ValueError, "lang"),
    ({"lang": 3}, TypeError, "lang"),
    ({"ipa": "yes"}, TypeError, "ipa"),
    ({"punctuation": 1}, TypeError, "punctuation"),
    ({"jobs": 0}, ValueError, "jobs"),
    ({"jobs": 1.5}, TypeError, "jobs"),
    ({"batch": 0}, ValueError, "batch"),
    ({"word_separator": 1}, TypeError, "word_separator"),
    ({"phoneme_separator": b" "}, TypeError, "phoneme_separator"),
    ({"model": 3}, TypeError, "model"),
])
def test_phonemize_names_the_argument_that_is_wrong(letter_model, arguments, error, name):
    call = {"text_or_texts": "a", "model": letter_model[0], "lexicon": letter_model[1], **arguments}
    with pytest.raises(error, match=f"^{name.replace('[', '.').replace(']', '.')}"):
        phonemize(**call)


def test_g2p_phonemize_gives_the_tokens(letter_model):
    g2p = G2P(letter_model[0], lang="en", lexicon=letter_model[1], ipa=True)
    found = g2p.phonemize("Doctor $1")
    assert [(t.kind, t.words) for t in found] == [("word", ["Doctor"]), ("money", ["one", "dollar"])]
    assert found[0].pronunciations[0][0].ipa == "dɑktɝ"
    with pytest.raises(TypeError, match="^text must be a str"):
        g2p.phonemize(b"x")


def test_the_command_writes_a_line_per_input_line_in_each_format(letter_model, tmp_path):
    model, lexicon = letter_model
    source = tmp_path / "in.txt"
    source.write_bytes(b"Doctor, don't!\n\n\xff bad\n$1\n")
    base = ("text", "-m", model, "--lexicon", lexicon, "-i", str(source))
    text = run_vurel(*base)
    assert text.returncode == 1
    assert text.stdout.split("\n") == ["D AA K T ER | , | D OW N T | !", "", "", "O N E | D O L L A R", ""]
    assert f"{source}:3: invalid UTF-8 (byte 0xff at column 1)" in text.stderr
    spoken = run_vurel(*base, "-f", "spoken", "--invalid", "replace", "--no-punctuation")
    assert spoken.returncode == 0
    assert spoken.stdout.split("\n") == ["Doctor don't", "", "bad", "one dollar", ""]
    records = [json.loads(line) for line in run_vurel(*base, "-f", "jsonl", "--invalid", "replace").stdout.splitlines()]
    assert [(r["line"], r["kind"], r["start"], r["end"]) for r in records] == [
        (1, "word", 0, 6), (1, "punctuation", 6, 7), (1, "word", 8, 13), (1, "punctuation", 13, 14),
        (3, "symbol", 0, 1), (3, "word", 2, 5), (4, "money", 0, 2)]
    assert records[4]["problem"].startswith("dropped")
    assert records[6]["words"] == ["one", "dollar"] and records[6]["source"] == ["model", "model"]


def test_jobs_read_in_worker_processes_and_keep_the_order_and_the_counts(letter_model, tmp_path):
    model, lexicon = letter_model
    source = tmp_path / "many.txt"
    # Several batches, each line its own, one with a problem.
    source.write_text("".join(f"Doctor {index}, don't 🙂!\n" if index == 150 else f"Doctor {index}, don't!\n"
                              for index in range(300)), encoding="utf-8")
    base = ("text", "-m", model, "--lexicon", lexicon, "-i", str(source), "-f", "spoken")
    one, two = run_vurel(*base, "--jobs", "1"), run_vurel(*base, "--jobs", "2")
    assert one.returncode == two.returncode == 0
    assert two.stdout == one.stdout and len(one.stdout.splitlines()) == 300
    assert two.stderr == one.stderr
    assert "line 151: '🙂'" in one.stderr and "300 lines" in one.stderr


def threads() -> int:
    return len(os.listdir("/proc/self/task"))


@pytest.mark.skipif(not os.path.exists("/proc/self/task"), reason="/proc lists the threads")
@pytest.mark.parametrize("background", [False, True])
def test_a_merged_model_built_before_the_fork_reads_as_one_built_on_demand_and_leaves_no_thread(
        letter_model, background):
    model, lexicon = letter_model
    texts = ["Doctor 12, don't zap the quiz!", "Tausend und sechs"]
    expected = TextReader(G2P(model, lexicon=lexicon)).read(texts)
    reader = TextReader(G2P(model, lexicon=lexicon))
    alone = threads()
    if background:
        while not reader.build_merged_model(background=True):
            pass
    assert reader.build_merged_model() is True
    # A process forks after this call: the thread that built it has ended.
    assert threads() == alone
    assert reader.build_merged_model(background=True) is True and threads() == alone
    assert reader.read(texts) == expected


FORK_WATCH = """
import os, sys
fork = os.fork
def counted_fork():
    threads = len(os.listdir("/proc/self/task"))
    if threads > 1:
        sys.stderr.write(f"forked with {threads} threads\\n")
    return fork()
os.fork = counted_fork
"""


@pytest.mark.parametrize("progress", [(), ("--no-progress",)])
def test_workers_are_forked_from_a_process_of_one_thread(letter_model, tmp_path, progress):
    """A thread alive at the fork (tqdm's monitor was one) may hold a lock
    that no thread of the worker will ever release."""
    model, lexicon = letter_model
    (tmp_path / "sitecustomize.py").write_text(FORK_WATCH)
    source = tmp_path / "lines.txt"
    source.write_text("Doctor 1, don't!\n" * 600, encoding="utf-8")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")]))}
    run = run_vurel("text", "-m", model, "--lexicon", lexicon, "-i", str(source), "--jobs", "2", *progress, env=env)
    assert run.returncode == 0 and len(run.stdout.splitlines()) == 600
    assert "forked with" not in run.stderr, run.stderr


@pytest.mark.parametrize("form", ["text", "spoken", "jsonl"])
def test_a_line_read_in_pieces_reads_as_it_would_whole(letter_model, tmp_path, form):
    """A line past the piece size (4,096 characters) is read in pieces cut
    at white space; the output is the line's, with its spans and number."""
    model, lexicon = letter_model
    line = "Doctor, don't cat! " * 1000 + "x" * 40_000 + " dog."
    source = tmp_path / "long.txt"
    source.write_text(f"first\n{line}\nlast\n", encoding="utf-8")
    outputs = [run_vurel("text", "-m", model, "--lexicon", lexicon, "-i", str(source), "-f", form, *jobs)
               for jobs in ((), ("--jobs", "2"))]
    assert outputs[0].returncode == 0 and outputs[1].stdout == outputs[0].stdout
    whole = G2P(model, lang="en", lexicon=lexicon).phonemize(line)
    if form == "jsonl":
        records = [json.loads(record) for record in outputs[0].stdout.splitlines()]
        middle = [(r["text"], r["start"], r["end"]) for r in records if r["line"] == 2]
        # The run without white space is cut at the piece size: tokens that
        # cover it one after the other, where the line read whole has one.
        (run,) = [(token.text, token.start, token.end) for token in whole if token.text[0] == "x"]
        cut = [span for span in middle if span[0][0] == "x"]
        assert len(cut) > 1 and all(a[2] == b[1] for a, b in zip(cut, cut[1:]))
        assert ("".join(span[0] for span in cut), cut[0][1], cut[-1][2]) == run
        assert [span for span in middle if span not in cut] == \
            [(token.text, token.start, token.end) for token in whole if token.text[0] != "x"]
        assert records[-1]["line"] == 3
    else:
        first, middle, last = outputs[0].stdout.split("\n")[:3]
        expected = spoken_line(whole) if form == "spoken" else phoneme_line(whole)
        assert middle == expected and last in ("last", "L A S T")


def test_an_apostrophe_the_model_lacks_joins_the_parts_around_it(tmp_path, letter_model):
    """A model without an apostrophe (German's): geht's is geht and s."""
    directory = tmp_path / "no-apostrophe"
    letters = string.ascii_lowercase
    (directory).mkdir()
    (directory / "in.txt").write_text("".join(f"{s}\t{i}\n" for i, s in enumerate(["<eps>", "|", "_", *letters])))
    (directory / "out.txt").write_text("".join(f"{s}\t{i}\n" for i, s in enumerate(["<eps>", "|", "_",
                                                                                    *letters.upper()])))
    arcs = "".join(f"0\t0\t{letter}\t{letter.upper()}\t1\n" for letter in letters) + "0\n"
    subprocess.run(["fstcompile", f"--isymbols={directory / 'in.txt'}", f"--osymbols={directory / 'out.txt'}",
                    "--keep_isymbols", "--keep_osymbols", "-", str(directory / "m.fst")], input=arcs.encode(),
                   check=True)
    reader = TextReader(G2P(str(directory / "m.fst"), lang="de", lexicon=letter_model[1]))
    (token,) = one(reader, "geht's")
    assert (token.words, token.phonemes, token.problem) == (["geht's"], [("G", "E", "H", "T", "S")], None)
    # A word the model cannot read for another reason still says so.
    (token,) = one(reader, "geht'ж")
    assert token.problem.startswith("unknown characters")


def test_capitals_of_any_script_fold_to_the_models_case(tmp_path):
    """A Russian model's letters are lower-case Cyrillic: Мир is decoded as мир."""
    letters = "мир"
    (tmp_path / "in.txt").write_text("".join(f"{s}\t{i}\n" for i, s in enumerate(["<eps>", "|", "_", *letters])))
    (tmp_path / "out.txt").write_text("".join(f"{s}\t{i}\n" for i, s in enumerate(["<eps>", "|", "_", "m", "i", "r"])))
    arcs = "".join(f"0\t0\t{letter}\t{phoneme}\t1\n" for letter, phoneme in zip(letters, "mir")) + "0\n"
    subprocess.run(["fstcompile", f"--isymbols={tmp_path / 'in.txt'}", f"--osymbols={tmp_path / 'out.txt'}",
                    "--keep_isymbols", "--keep_osymbols", "-", str(tmp_path / "m.fst")], input=arcs.encode(),
                   check=True)
    g2p = G2P(str(tmp_path / "m.fst"), lang="ru", lexicon=None)
    assert g2p.pronounce("Мир").pronunciations[0].phonemes == ("m", "i", "r")
    assert [token.phonemes for token in g2p.phonemize("МИР, Мир")[::2]] == [[("m", "i", "r")]] * 2
