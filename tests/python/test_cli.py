"""The ``vurel`` command, run as a subprocess, and the pieces it is made of."""

from __future__ import annotations

import json
import math
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from cli_fixtures import ARCS, compile_model, run_vurel, wait_for_sigterm_handler


@pytest.fixture(scope="module")
def model(tmp_path_factory) -> Path:
    return compile_model(tmp_path_factory.mktemp("model"))


def lines(text: str) -> list[str]:
    return text.splitlines()


# Output formats -------------------------------------------------------------


def test_tsv_gives_word_weight_and_phonemes_best_first(model):
    result = run_vurel("g2p", "--model", str(model), "--nbest", "2", "cat", "box", "chat")
    assert result.returncode == 0, result.stderr
    assert lines(result.stdout) == [
        "cat\t0.8000\tK AE1 T\tmodel",
        "cat\t1.6000\tS AE1 T\tmodel",
        # The output cluster K|S is split into its phonemes.
        "box\t0.8000\tB OW1 K S\tmodel",
        "box\t1.2000\tB AA1 K S\tmodel",
        # The input cluster c|h reads two letters at once.
        "chat\t0.9000\tCH AE1 T\tmodel",
        "chat\t1.2000\tK HH AE1 T\tmodel",
    ]
    assert result.stderr == ""


def test_dict_numbers_variants_and_jsonl_carries_every_field(model):
    result = run_vurel("g2p", "-m", str(model), "-n", "2", "--format", "dict", "cat", "tab")
    assert lines(result.stdout) == [
        "cat K AE1 T # model", "cat(2) S AE1 T # model", "tab T AE1 B # model", "tab(2) T EY1 B # model",
    ]

    result = run_vurel("g2p", "-m", str(model), "-n", "2", "--format", "jsonl", "--ipa", "cat")
    records = [json.loads(line) for line in lines(result.stdout)]
    assert records == [
        {"word": "cat", "rank": 1, "weight": pytest.approx(0.8), "phonemes": ["K", "AE1", "T"],
         "ipa": "ˈkæt", "source": "model"},
        {"word": "cat", "rank": 2, "weight": pytest.approx(1.6), "phonemes": ["S", "AE1", "T"],
         "ipa": "ˈsæt", "source": "model"},
    ]


def test_ipa_is_one_more_field_in_every_format(model):
    result = run_vurel("g2p", "-m", str(model), "--ipa", "bee", "tote")
    # e maps to IY0 or to nothing (_): the skip symbol never reaches the output.
    assert lines(result.stdout) == ["bee\t0.7000\tB\tmodel\tb", "tote\t1.0000\tT OW1 T\tmodel\tˈtoʊt"]
    result = run_vurel("g2p", "-m", str(model), "--ipa", "--format", "dict", "tote")
    assert lines(result.stdout) == ["tote T OW1 T # model /ˈtoʊt/"]


def test_decoding_options_reach_the_decoder(model):
    # cat has four paths: 0.8, 1.6, 1.8 and 2.6.
    assert len(lines(run_vurel("g2p", "-m", str(model), "-n", "9", "cat").stdout)) == 4
    narrow = run_vurel("g2p", "-m", str(model), "-n", "9", "--threshold", "1.7", "cat")
    assert lines(narrow.stdout) == ["cat\t0.8000\tK AE1 T\tmodel", "cat\t1.6000\tS AE1 T\tmodel"]
    paths = ("g2p", "-m", str(model), "-n", "9", "--search", "paths")
    assert len(lines(run_vurel(*paths, "--beam", "3", "cat").stdout)) == 3
    # With --pmass the weights are normalised: -log of each path's share.
    normalised = run_vurel(*paths, "--pmass", "0", "--format", "jsonl", "cat")
    shares = [math.exp(-json.loads(line)["weight"]) for line in lines(normalised.stdout)]
    assert sum(shares) == pytest.approx(1.0, abs=1e-5)


def test_probabilities_in_every_format_and_the_least_one_kept(model):
    # cat's four pronunciations have one path each: each one's probability
    # is its path's share.
    weights = [0.8, 1.6, 1.8, 2.6]
    shares = [math.exp(-weight) / sum(math.exp(-w) for w in weights) for weight in weights]
    asked = ("g2p", "-m", str(model), "-n", "9", "--prob")
    records = [json.loads(line) for line in lines(run_vurel(*asked, "--format", "jsonl", "cat").stdout)]
    assert [record["probability"] for record in records] == pytest.approx(shares, abs=1e-6)
    assert lines(run_vurel(*asked, "cat").stdout)[0] == f"cat\t0.8000\tK AE1 T\tmodel\t{shares[0]:.4f}"
    assert lines(run_vurel(*asked, "--ipa", "cat").stdout)[0] == f"cat\t0.8000\tK AE1 T\tmodel\tˈkæt\t{shares[0]:.4f}"
    assert lines(run_vurel(*asked, "--format", "dict", "cat").stdout)[1] == f"cat(2) S AE1 T # model p={shares[1]:.4f}"
    kept = run_vurel(*asked, "--min-prob", "0.2", "cat")
    assert [line.split("\t")[2] for line in lines(kept.stdout)] == ["K AE1 T", "S AE1 T"]
    none = run_vurel(*asked, "--min-prob", "0.9", "cat")
    assert none.stdout == "" and "none is as probable as 0.9" in none.stderr


def test_probabilities_undefined_are_named_in_every_format(tmp_path):
    looped = compile_model(tmp_path, arcs=[*ARCS, ("<eps>", "T", 0.0)])
    asked = ("g2p", "-m", str(looped), "-n", "2", "--prob")
    problem = "probabilities undefined: the model's cycles hold unbounded mass"
    jsonl = run_vurel(*asked, "--format", "jsonl", "bat")
    assert jsonl.returncode == 0
    records = [json.loads(line) for line in lines(jsonl.stdout)]
    assert [(record["rank"], record["probability"], record["problem"]) for record in records] == [
        (1, None, problem), (2, None, problem)]
    tsv = run_vurel(*asked, "bat", "cat")
    assert tsv.returncode == 0
    assert [line.split("\t")[-1] for line in lines(tsv.stdout)] == ["-"] * 4
    assert f"'bat': {problem}" in tsv.stderr and "2 words with probabilities undefined" in tsv.stderr
    assert lines(run_vurel(*asked, "--format", "dict", "bat").stdout)[0].endswith("# model p=-")


@pytest.mark.parametrize("options, message", [
    (("--beam", "3"), "only --search paths takes --beam"),
    (("--pmass", "0", "--accumulate"), "only --search paths takes --pmass, --accumulate"),
    (("--search", "paths", "--prob"), "--search paths does not take --prob"),
    (("--search", "paths", "--ranking", "probability"), "--search paths does not take --ranking"),
    (("--min-prob", "1.5"), "must be between 0 and 1"),
])
def test_options_of_the_other_search_are_refused(model, options, message):
    result = run_vurel("g2p", "-m", str(model), *options, "cat")
    assert result.returncode == 2 and message in result.stderr


# Where words come from and where output goes ------------------------------------


def test_words_from_stdin_and_from_a_file(model, tmp_path):
    result = run_vurel("g2p", "-m", str(model), input="cat\n\n  box \r\n")
    assert lines(result.stdout) == ["cat\t0.8000\tK AE1 T\tmodel", "box\t0.8000\tB OW1 K S\tmodel"]

    words = tmp_path / "words.txt"
    words.write_bytes("\ufeffcat\nbox\n".encode())
    output = tmp_path / "out.tsv"
    result = run_vurel("g2p", "-m", str(model), "--input", str(words), "--output", str(output), "--format", "dict")
    assert result.returncode == 0 and result.stdout == ""
    assert output.read_text() == "cat K AE1 T # model\nbox B OW1 K S # model\n"


def test_case_follows_the_model_unless_told(model):
    result = run_vurel("g2p", "-m", str(model), "CAT")
    assert lines(result.stdout) == ["CAT\t0.8000\tK AE1 T\tmodel"]
    result = run_vurel("g2p", "-m", str(model), "--case", "keep", "CAT")
    assert result.stdout == ""
    assert "no pronunciation for 'CAT': unknown characters: 'C', 'A', 'T'" in result.stderr


def test_jobs_keep_input_order(model, tmp_path):
    letters = "abcehotx"
    words = [a + b + c for a in letters for b in letters for c in letters][:400]
    words.insert(100, "qq")  # no pronunciation, in the middle
    words_file = tmp_path / "words.txt"
    words_file.write_text("\n".join(words) + "\n")
    single = run_vurel("g2p", "-m", str(model), "-n", "2", "-i", str(words_file))
    double = run_vurel("g2p", "-m", str(model), "-n", "2", "-i", str(words_file), "--jobs", "2")
    assert single.returncode == double.returncode == 0
    assert double.stdout == single.stdout
    decoded = list(dict.fromkeys(line.split("\t")[0] for line in lines(double.stdout)))
    assert decoded == [w for w in words if w != "qq"]
    assert "no pronunciation for 'qq'" in double.stderr


def test_interrupted_run_keeps_what_it_wrote(model, tmp_path):
    output = tmp_path / "out.tsv"
    process = subprocess.Popen(
        [sys.executable, "-m", "vurel", "g2p", "-m", str(model), "-o", str(output)],
        stdin=subprocess.PIPE, stderr=subprocess.PIPE,
    )
    process.stdin.write(b"cat\nbox\n")
    process.stdin.flush()
    deadline = time.monotonic() + 30
    while (not output.exists() or output.read_text().count("\n") < 2) and time.monotonic() < deadline:
        time.sleep(0.05)
    process.send_signal(signal.SIGTERM)
    _, stderr = process.communicate(timeout=30)
    assert process.returncode == 143
    assert stderr.decode().strip() == "vurel: terminated"
    assert output.read_text() == "cat\t0.8000\tK AE1 T\tmodel\nbox\t0.8000\tB OW1 K S\tmodel\n"


# Words without pronunciation ----------------------------------------------------


def test_words_without_pronunciation_are_reported_and_counted(model):
    result = run_vurel("g2p", "-m", str(model), "cat", "qqq", "box", "zz")
    assert result.returncode == 0
    assert lines(result.stdout) == ["cat\t0.8000\tK AE1 T\tmodel", "box\t0.8000\tB OW1 K S\tmodel"]
    assert "vurel: no pronunciation for 'qqq'" in result.stderr
    assert "vurel: no pronunciation for 'zz'" in result.stderr
    assert lines(result.stderr)[-1] == (
        "vurel: 4 words, 2 pronunciations, 2 without pronunciation (unknown characters: 2)"
    )
    one = run_vurel("g2p", "-m", str(model), "qqq")
    assert lines(one.stderr)[-1] == "vurel: 1 word, 0 pronunciations, 1 without pronunciation (unknown characters: 1)"


def test_every_word_can_have_a_record_in_input_order(model):
    words = ("cat", "qqq", "", "box")
    expected = {
        ("tsv",): ["cat\t0.8000\tK AE1 T\tmodel", "box\t0.8000\tB OW1 K S\tmodel"],
        ("tsv", "--every-word"): ["cat\t0.8000\tK AE1 T\tmodel", "qqq\t\t\tnone", "\t\t\tnone",
                                  "box\t0.8000\tB OW1 K S\tmodel"],
        ("tsv", "--every-word", "--ipa"): ["cat\t0.8000\tK AE1 T\tmodel\tˈkæt", "qqq\t\t\tnone\t",
                                           "\t\t\tnone\t", "box\t0.8000\tB OW1 K S\tmodel\tˈboʊks"],
        ("dict", "--every-word"): ["cat K AE1 T # model", "qqq # none: unknown characters: 'q'",
                                   " # none: empty word", "box B OW1 K S # model"],
    }
    for options, output in expected.items():
        result = run_vurel("g2p", "-m", str(model), "-f", *options, *words)
        assert result.returncode == 0 and lines(result.stdout) == output, options
    records = [json.loads(line) for line in lines(run_vurel("g2p", "-m", str(model), "-f", "jsonl", *words).stdout)]
    assert [(record["word"], record["phonemes"], record.get("problem")) for record in records] == [
        ("cat", ["K", "AE1", "T"], None), ("qqq", [], "unknown characters: 'q'"), ("", [], "empty word"),
        ("box", ["B", "OW1", "K", "S"], None),
    ]


def test_characters_that_would_split_a_record_are_escaped(model):
    # Each word is one record however its characters would split a line or
    # a field; JSON Lines escapes them itself.
    cases = [
        ("tsv", "ca\tb", "ca\\tb\t"),
        ("tsv", "ca\nb", "ca\\nb\t"),
        ("tsv", "ca\rb", "ca\\rb\t"),
        ("tsv", "ca\\b", "ca\\\\b\t"),
        ("dict", "ca b", "ca\\sb K AE1 B #"),
        ("dict", "ca\tb", "ca\\tb K AE1 B #"),
        ("jsonl", "ca\nb", '{"word": "ca\\nb", '),
    ]
    for layout, word, start in cases:
        result = run_vurel("g2p", "-m", str(model), "--unknown", "drop", "-f", layout, word)
        assert result.returncode == 0
        assert len(lines(result.stdout)) == 1 and result.stdout.startswith(start), (layout, word, result.stdout)
        if layout == "tsv":
            assert len(result.stdout.split("\t")) == 4
    # So are the words without pronunciation, whose records say why.
    for layout, word, record in (("tsv", "q\\q\tq", "q\\\\q\\tq\t\t\tnone"),
                                 ("dict", "q\rq q", "q\\rq\\sq # none: unknown characters: 'q', '\\r', ' '")):
        result = run_vurel("g2p", "-m", str(model), "--every-word", "-f", layout, word)
        assert result.returncode == 0 and result.stdout == record + "\n", (layout, word, result.stdout)


# Files and streams ----------------------------------------------------------------


def test_output_never_empties_the_input(model, tmp_path):
    words = tmp_path / "words.txt"
    (tmp_path / "link.txt").symlink_to(words)
    for options, stdin in (
        (["-i", str(words), "-o", str(words)], None),
        (["-i", str(words), "-o", str(tmp_path / "link.txt")], None),
        (["-o", str(words)], "file"),
    ):
        words.write_text("cat\nbox\n")
        with open(words, "rb") as source:
            result = subprocess.run([sys.executable, "-m", "vurel", "g2p", "-m", str(model), *options],
                                    stdin=source if stdin else subprocess.DEVNULL, capture_output=True, text=True)
        assert_one_line_error(result, 1, f"vurel: error: the output {options[-1]} is the input file")
        assert words.read_text() == "cat\nbox\n", options


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_write_errors_are_one_line(model, tmp_path):
    dictionary = tmp_path / "words.dict"
    dictionary.write_text("CAT  K AE1 T\n")
    full = "vurel: error: cannot write standard output: No space left on device"
    cases = [
        (["g2p", "-m", str(model), "-o", "/dev/full", "cat"], "/dev/full", "vurel: error: cannot write /dev/full: No space left on device"),
        (["g2p", "-m", str(model), "cat"], "/dev/full", full),
        (["g2p", "-m", str(model), "-f", "jsonl", "cat"], "/dev/full", full),
        (["info", str(model)], "/dev/full", full),
        (["evaluate", "-m", str(model), "--dict", str(dictionary)], "/dev/full", full),
        (["g2p", "-m", str(model), "cat"], None, "vurel: error: standard output is closed"),
        (["info", str(model)], None, "vurel: error: standard output is closed"),
    ]
    for args, stdout, message in cases:
        with open(stdout, "w") if stdout else open(os.devnull) as sink:
            # A closed standard output: the child starts without file descriptor 1.
            result = subprocess.run([sys.executable, "-m", "vurel", *args], stdout=sink if stdout else None,
                                    stderr=subprocess.PIPE, text=True,
                                    preexec_fn=None if stdout else (lambda: os.close(1)))
        assert_one_line_error(result, 1, message)
        assert lines(result.stderr) == [message], args
    written = tmp_path / "written.txt"
    result = subprocess.run([sys.executable, "-m", "vurel", "g2p", "-m", str(model), "-o", str(written), "cat"],
                            stderr=subprocess.PIPE, text=True, preexec_fn=lambda: os.close(1))
    assert result.returncode == 0 and written.read_text() == "cat\t0.8000\tK AE1 T\tmodel\n"


# Lexicon ------------------------------------------------------------------------


def test_lexicon_words_take_the_lexicon_pronunciations(model, tmp_path):
    cmu = tmp_path / "lexicon.dict"
    cmu.write_text(";;; a comment\nCAT  K AE1 T S\ncat(2)  K AA1 T # a variant\n")
    result = run_vurel("g2p", "-m", str(model), "--lexicon", str(cmu), "-n", "2", "cat", "tab")
    assert lines(result.stdout) == [
        "cat\t0.0000\tK AE1 T S\tlexicon",
        "cat\t0.0000\tK AA1 T\tlexicon",
        "tab\t0.7000\tT AE1 B\tmodel",
        "tab\t1.7000\tT EY1 B\tmodel",
    ]
    assert result.stderr == ""
    # -n holds for the lexicon's variants too.
    result = run_vurel("g2p", "-m", str(model), "--lexicon", str(cmu), "cat")
    assert lines(result.stdout) == ["cat\t0.0000\tK AE1 T S\tlexicon"]

    tsv = tmp_path / "lexicon.tsv"
    tsv.write_text("tab\tT AA1 B\n")
    result = run_vurel("g2p", "-m", str(model), "--lexicon", str(tsv), "--format", "jsonl", "--jobs", "2", "tab", "cat")
    records = [json.loads(line) for line in lines(result.stdout)]
    assert [(r["word"], r["phonemes"], r["source"]) for r in records] == [
        ("tab", ["T", "AA1", "B"], "lexicon"),
        ("cat", ["K", "AE1", "T"], "model"),
    ]


# Expected errors ----------------------------------------------------------------


def assert_one_line_error(result, status: int, message: str) -> None:
    assert result.returncode == status, (result.stdout, result.stderr)
    assert "Traceback" not in result.stderr
    assert len(lines(result.stderr)) == 1, result.stderr
    assert message in result.stderr, result.stderr


def test_expected_errors_are_one_line(model, tmp_path):
    not_a_model = tmp_path / "words.fst"
    not_a_model.write_text("cat\n")
    bad_lexicon = tmp_path / "bad.dict"
    bad_lexicon.write_text("cat\n")
    cases = [
        (["g2p", "-m", str(tmp_path / "absent.fst"), "cat"], 1, f"vurel: error: model {tmp_path / 'absent.fst'} not found"),
        (["g2p", "-m", str(tmp_path), "cat"], 1, f"vurel: error: model {tmp_path} is a directory, not a file"),
        (["g2p", "-m", str(not_a_model), "cat"], 1, f"vurel: error: {not_a_model} is not a model file: failed to read FST"),
        (["g2p", "-m", str(model), "--lexicon", str(tmp_path / "absent.dict"), "cat"], 1,
         f"vurel: error: lexicon {tmp_path / 'absent.dict'} not found"),
        (["g2p", "-m", str(model), "-i", str(tmp_path / "absent.txt")], 1, "vurel: error: cannot read "),
        (["g2p", "-m", str(model), "-i", str(tmp_path)], 1, "vurel: error: cannot read "),
        (["g2p", "-m", str(model), "-i", "x", "cat"], 2,
         "vurel g2p: error: give words as arguments or with --input, not both (see vurel g2p --help)"),
        (["g2p", "--bogus", "cat"], 2, "vurel g2p: error: unrecognized arguments: --bogus (see vurel g2p --help)"),
        (["g2p", "-m", str(model), "--lexicon", str(bad_lexicon), "cat"], 1, "bad.dict:1: "),
        (["g2p", "-m", str(model), "--nbest", "0", "cat"], 2, "vurel g2p: error: argument -n/--nbest: must be at least 1"),
        (["g2p", "-m", str(model), "--threshold", "x", "cat"], 2, "invalid number: 'x'"),
        (["g2p", "-m", str(model), "--format", "xml", "cat"], 2, "argument -f/--format: invalid choice"),
        (["g2p", "-m", str(model), "--jobs", "-1", "cat"], 2, "argument -j/--jobs"),
        (["frobnicate"], 2, "vurel: error: argument COMMAND: invalid choice"),
        (["info", str(tmp_path / "absent.fst")], 1, f"vurel: error: model {tmp_path / 'absent.fst'} not found"),
        (["info", str(tmp_path)], 1, f"vurel: error: model {tmp_path} is a directory, not a file"),
        (["info", str(not_a_model)], 1, f"vurel: error: {not_a_model} is not a model file: failed to read FST"),
    ]
    for args, status, message in cases:
        assert_one_line_error(run_vurel(*args), status, message)


def test_invalid_utf8_names_its_line_and_keeps_earlier_output(model, tmp_path):
    text = b"cat\nbox\nb\xe9t\ntab\n"
    # A pipe is answered word by word; a file, a batch of words at a time.
    words = tmp_path / "words.txt"
    words.write_bytes(text)
    for jobs in ("1", "2"):
        for name, options, given in (("<stdin>", (), text), (str(words), ("-i", str(words)), None)):
            result = run_vurel("g2p", "-m", str(model), "--jobs", jobs, *options, input=given)
            assert_one_line_error(result, 1, f"vurel: error: {name}:3: invalid UTF-8 (byte 0xe9 at column 2)")
            assert lines(result.stdout) == ["cat\t0.8000\tK AE1 T\tmodel", "box\t0.8000\tB OW1 K S\tmodel"]


def test_progress_counts_the_bytes_of_the_words_written(tmp_path, capsys):
    from vurel.cli.progress import Progress
    from vurel.cli.streams import WordSource

    path = tmp_path / "words.txt"
    path.write_bytes(b"cat\n\n  box \n\ntab")
    with path.open("rb") as stream:
        source = WordSource((), stream, str(path))
        progress = Progress(True, source, None)
        assert list(source) == ["cat", "box", "tab"]
        # Blank lines count with the word after them.
        progress.advance(2)
        assert progress._bar.n == len(b"cat\n\n  box \n")
        progress.advance(1)
        assert progress._bar.n == len(b"cat\n\n  box \n\ntab")
        progress.close()


# Default model ------------------------------------------------------------------


def test_default_model_comes_from_the_cache(model, tmp_path):
    from vurel import english_model

    env = dict(os.environ, XDG_CACHE_HOME=str(tmp_path / "cache"))
    env.pop(english_model.ENVIRONMENT_OVERRIDE, None)
    old = os.environ.get("XDG_CACHE_HOME")
    os.environ["XDG_CACHE_HOME"] = env["XDG_CACHE_HOME"]
    try:
        cached = english_model.default_model_path()
    finally:
        if old is None:
            del os.environ["XDG_CACHE_HOME"]
        else:
            os.environ["XDG_CACHE_HOME"] = old
    assert cached.parent == tmp_path / "cache" / "vurel"
    cached.parent.mkdir(parents=True)
    cached.write_bytes(model.read_bytes())
    result = run_vurel("g2p", "cat", env=env)
    assert lines(result.stdout) == ["cat\t0.0000\tK AE1 T\tlexicon"]
    result = run_vurel("g2p", "--no-lexicon", "cat", env=env)
    assert lines(result.stdout) == ["cat\t0.8000\tK AE1 T\tmodel"]

    env[english_model.ENVIRONMENT_OVERRIDE] = str(tmp_path / "elsewhere.fst")
    assert_one_line_error(run_vurel("g2p", "cat", env=env), 1, "elsewhere.fst, which does not exist")


# info -------------------------------------------------------------------------


def test_info_counts_states_arcs_symbols_and_clusters(model, tmp_path):
    result = run_vurel("info", "--json", str(model))
    assert result.returncode == 0, result.stderr
    facts = json.loads(result.stdout)
    assert facts["file_size"] == model.stat().st_size
    assert (facts["states"], facts["final_states"], facts["start"], facts["arcs"]) == (1, 1, 0, 13)
    assert facts["input_symbols"] == {"symbols": 12, "clusters": 1, "longest_cluster": 2, "longest_cluster_text": "c|h"}
    assert facts["output_symbols"] == {"symbols": 15, "clusters": 1, "longest_cluster": 2, "longest_cluster_text": "K|S"}
    # fstcompile keeps the arcs in the order given, and c|h (label 11) comes before h.
    assert facts["arcs_sorted_by_input"] is False

    ordered = compile_model(tmp_path, arcs=[("a", "AE1", 0.5), ("b", "B", 0.1)], name="sorted.fst")
    text = run_vurel("info", str(ordered)).stdout
    assert "arcs           2\n" in text
    assert "arcs sorted    yes\n" in text
    assert "arcs sorted    no, sorted when loaded\n" in run_vurel("info", str(model)).stdout

    truncated = tmp_path / "truncated.fst"
    truncated.write_bytes(model.read_bytes()[:-8])
    assert_one_line_error(run_vurel("info", str(truncated)), 1, "truncated.fst is not a model file: ")


def test_console_script_and_module_agree(model):
    script = Path(sys.executable).with_name("vurel")
    via_script = subprocess.run([str(script), "g2p", "-m", str(model), "cat"], capture_output=True, text=True)
    assert via_script.stdout == run_vurel("g2p", "-m", str(model), "cat").stdout == "cat\t0.8000\tK AE1 T\tmodel\n"


FAKE_TRAINER = """#!{python}
import shutil, sys
command, dictionary, output = sys.argv[1:4]
print("vurel-train: aligning", file=sys.stderr)
lines = open(dictionary, encoding="utf-8").read().splitlines()
if "--format" not in sys.argv or len(lines) < 100000 or not all(line.count("\\t") == 1 for line in lines):
    print("vurel-train: unexpected dictionary", file=sys.stderr)
    sys.exit(1)
shutil.copy({model!r}, output)
"""


def test_default_model_is_trained_once_then_cached(model, tmp_path, monkeypatch):
    from vurel import english_model, languages

    trainer = tmp_path / "vurel-train"
    trainer.write_text(FAKE_TRAINER.format(python=sys.executable, model=str(model)))
    trainer.chmod(0o755)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    monkeypatch.delenv(english_model.ENVIRONMENT_OVERRIDE, raising=False)
    monkeypatch.setattr(languages, "find_trainer", lambda: str(trainer))
    path = english_model.ensure_default_model(progress=False)
    assert path == english_model.default_model_path() and path.read_bytes() == model.read_bytes()
    # Nothing is left behind but the model and the lock.
    assert sorted(p.name for p in path.parent.iterdir()) == sorted([path.name, "train.lock"])
    assert english_model.default_model().phoneticize("cat") == ["K", "AE1", "T"]

    trainer.write_text("#!/bin/sh\necho 'vurel-train: out of memory' >&2\nexit 1\n")
    assert english_model.ensure_default_model(progress=False) == path  # cached: not trained again
    path.unlink()
    with pytest.raises(english_model.DefaultModelError, match="training the default model failed: out of memory"):
        english_model.ensure_default_model(progress=False)
    assert not path.exists()


# Absurd words -------------------------------------------------------------------


def test_an_over_long_word_costs_one_reported_line(model, tmp_path):
    words = tmp_path / "words.txt"
    words.write_text("cat\n" + "a" * 200_000 + "\nbox\n")
    result = run_vurel("g2p", "-m", str(model), "-i", str(words))
    assert result.returncode == 0, result.stderr
    assert lines(result.stdout) == ["cat\t0.8000\tK AE1 T\tmodel", "box\t0.8000\tB OW1 K S\tmodel"]
    assert f"no pronunciation for '{'a' * 40}'...: too long: 200,000 characters, more than 256\n" in result.stderr
    assert lines(result.stderr)[-1] == (
        "vurel: 3 words, 2 pronunciations, 1 without pronunciation (too long: 1)"
    )


def test_sigterm_ends_a_run_within_a_long_word(model, tmp_path):
    words = tmp_path / "words.txt"
    # Building this word's lattice alone takes several seconds, with a budget
    # large enough for it (the direct search would find it over budget sooner).
    words.write_text("cat\n" + "a" * 2_000_000 + "\nbox\n")
    output = tmp_path / "out.tsv"
    process = subprocess.Popen(
        [sys.executable, "-m", "vurel", "g2p", "-m", str(model), "--max-length", "0", "-i", str(words),
         "-o", str(output)],
        stderr=subprocess.PIPE,
        env={**os.environ, "VUREL_ENGINE": "reference", "VUREL_WORD_BUDGET_MB": "8192"},
    )
    wait_for_sigterm_handler(process)
    time.sleep(2)
    assert process.poll() is None, "the long word was decoded before the signal"
    process.send_signal(signal.SIGTERM)
    sent = time.monotonic()
    _, stderr = process.communicate(timeout=30)
    assert time.monotonic() - sent < 2
    assert process.returncode == 143
    assert stderr.decode().strip() == "vurel: terminated"
    assert output.read_text() == "cat\t0.8000\tK AE1 T\tmodel\n"


def test_version_and_info_of_the_default_model(model, tmp_path):
    import vurel
    from vurel import english_model

    assert run_vurel("--version").stdout == f"vurel {vurel.__version__}\n"
    env = dict(os.environ, XDG_CACHE_HOME=str(tmp_path / "cache"))
    env.pop(english_model.ENVIRONMENT_OVERRIDE, None)
    text = run_vurel("info", env=env).stdout
    assert f"cached at      {tmp_path / 'cache' / 'vurel'}" in text and "(not yet: trained on first use)" in text
    assert english_model.MEASURED_ERROR_RATES in text
    # A file named by the environment is not vurel's recipe, whatever it holds.
    env[english_model.ENVIRONMENT_OVERRIDE] = str(model)
    described = run_vurel("info", env=env).stdout
    assert "recipe         unknown for a model named by the environment" in described
    assert "Kneser-Ney" not in described
