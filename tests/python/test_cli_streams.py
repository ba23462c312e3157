"""How ``vurel g2p`` reads and writes its streams: the progress bar on a
terminal, closed and endless streams, and one record per input line."""

from __future__ import annotations

import fcntl
import json
import os
import pty
import re
import resource
import signal
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path

import pytest

from cli_fixtures import compile_model, run_vurel, wait_for_sigterm_handler


@pytest.fixture(scope="module")
def model(tmp_path_factory) -> Path:
    return compile_model(tmp_path_factory.mktemp("model"))


CAT = "cat\t0.8000\tK AE1 T\tmodel"
BOX = "box\t0.8000\tB OW1 K S\tmodel"


# Progress on a terminal -----------------------------------------------------


def screen_of(output: bytes) -> list[str]:
    """The non-blank rows a terminal shows after ``output``: carriage
    returns, newlines, cursor-up and erase-line sequences are followed,
    other characters (tabs included) written where the cursor is."""
    rows: list[list[str]] = [[]]
    row = column = 0
    text = output.decode()
    position = 0
    while position < len(text):
        character = text[position]
        control = re.match(r"\x1b\[(\d*)([A-Za-z])", text[position:])
        if control:
            count, command = int(control.group(1) or 1), control.group(2)
            if command == "A":
                row = max(0, row - count)
            elif command == "K":
                del rows[row][column:]
            position += len(control.group(0))
            continue
        if character == "\r":
            column = 0
        elif character == "\n":
            row += 1
            while len(rows) <= row:
                rows.append([])
        else:
            line = rows[row]
            line.extend(" " * (column - len(line) + 1))
            line[column] = character
            column += 1
        position += 1
    return [shown for shown in ("".join(line).rstrip() for line in rows) if shown]


def run_on_terminal(*args: str, typed: bytes | None = None) -> tuple[int, bytes]:
    """Runs ``vurel`` with standard output and error on one 80-column
    pseudo-terminal, and standard input too when ``typed`` is given (then
    typed there). Returns the exit status and all the terminal received."""
    controller, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    process = subprocess.Popen([sys.executable, "-m", "vurel", *args],
                               stdin=terminal if typed is not None else subprocess.DEVNULL,
                               stdout=terminal, stderr=terminal)
    os.close(terminal)
    if typed is not None:
        os.write(controller, typed)
    received = b""
    while True:
        try:
            chunk = os.read(controller, 65536)
        except OSError:  # EIO: every end of the terminal is closed
            break
        if not chunk:
            break
        received += chunk
    os.close(controller)
    return process.wait(timeout=60), received


BAR = re.compile(rb"\d+%\||words/s|B/s")


def test_a_bar_only_where_it_helps_and_never_over_a_line(model, tmp_path):
    words = tmp_path / "words.txt"
    words.write_text("cat\nbox\n")
    summary = "vurel: 2 words, 2 pronunciations, 0 without pronunciation"
    # (arguments, typed input, whether a bar is drawn, the screen at the end)
    cases = [
        # A file's progress is worth a bar, which makes way for each line.
        (("-i", str(words)), None, True, [CAT, BOX, summary]),
        # Words given as arguments, answered on the same terminal: no bar.
        (("cat", "box"), None, False, [CAT, BOX]),
        # Words typed one at a time: no bar, whatever is counted.
        # (The terminal echoes the typing at once, before any answer.)
        ((), b"cat\nbox\n\x04", False, ["cat", "box", CAT, BOX]),
    ]
    for args, typed, bar, screen in cases:
        status, received = run_on_terminal("g2p", "-m", str(model), *args, typed=typed)
        assert status == 0, received
        assert bool(BAR.search(received)) == bar, (args, received)
        assert screen_of(received) == screen, (args, received)


def test_progress_counts_words_where_the_input_has_no_size(tmp_path):
    from vurel.cli.progress import Progress
    from vurel.cli.streams import WordSource

    read, write = os.pipe()
    os.write(write, b"cat\n\nhello\n")
    os.close(write)
    with os.fdopen(read, "rb") as stream:
        source = WordSource((), stream, "<stdin>")
        progress = Progress(True, source, None)
        assert list(source) == ["cat", "hello"]
        progress.advance(2)
        assert progress._bar.n == 2
        progress.close()


# Closed and endless streams -------------------------------------------------


def test_closed_standard_error_loses_only_the_messages(model, tmp_path):
    words = tmp_path / "words.txt"
    words.write_text("cat\nqqq\nbox\n")
    output = tmp_path / "out.tsv"
    for args in (("cat", "qqq", "box"), ("-i", str(words)), ("-i", str(words), "--every-word")):
        with output.open("w") as sink:
            result = subprocess.run([sys.executable, "-m", "vurel", "g2p", "-m", str(model), *args],
                                    stdout=sink, preexec_fn=lambda: os.close(2))
        expected = [CAT, "qqq\t\t\tnone", BOX] if "--every-word" in args else [CAT, BOX]
        assert (result.returncode, output.read_text().splitlines()) == (0, expected), args


# AddressSanitizer reserves terabytes of address space for its shadow
# memory and keeps freed memory in quarantine: no memory limit or peak
# holds under it, so there only the output is checked.
UNDER_ADDRESS_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")


def _limit_memory() -> None:
    # A reader that keeps an endless line would take the machine's memory
    # before the signal comes.
    resource.setrlimit(resource.RLIMIT_AS, (1 << 31, 1 << 31))


@pytest.mark.parametrize(("sent", "status", "message"), [
    (signal.SIGTERM, 143, "vurel: terminated"),
    (signal.SIGINT, 130, "vurel: interrupted"),
])
def test_a_signal_ends_the_reading_of_an_endless_line(model, tmp_path, sent, status, message):
    process = subprocess.Popen([sys.executable, "-m", "vurel", "g2p", "-m", str(model), "-i", "/dev/zero",
                                "-o", str(tmp_path / "out.tsv")],
                               stderr=subprocess.PIPE, preexec_fn=None if UNDER_ADDRESS_SANITIZER else _limit_memory)
    wait_for_sigterm_handler(process)
    time.sleep(1.5)
    assert process.poll() is None, process.stderr.read()
    process.send_signal(sent)
    # A reader that ignores the signal runs into the memory limit instead;
    # the timeout is only there for a reader that neither stops nor fails.
    try:
        _, stderr = process.communicate(timeout=10)
    finally:
        process.kill()
    assert (process.returncode, stderr.decode().strip()) == (status, message)


PEAK_MEMORY = """
import resource, subprocess, sys
process = subprocess.Popen(sys.argv[2:], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
piece = sys.argv[1].encode() * (1 << 20)
process.stdin.write(b"cat\\n")
for _ in range({megabytes}):
    process.stdin.write(piece)
process.stdin.write(b"\\nbox\\n")
process.stdin.close()
sys.stdout.buffer.write(process.stdout.read())
process.wait()
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


def test_a_line_too_long_is_skipped_in_bounded_memory(model):
    megabytes = 64
    # A mebi-character line piece in one byte and in two bytes a character.
    for character in ("a", "é"):
        command = [sys.executable, "-c", PEAK_MEMORY.format(megabytes=megabytes), character,
                   sys.executable, "-m", "vurel", "g2p", "-m", str(model)]
        result = subprocess.run(command, capture_output=True, text=True, timeout=120)
        *output, peak_kilobytes = result.stdout.splitlines()
        assert output == [CAT, BOX], result.stderr
        assert f"too long: {megabytes << 20:,} characters, more than 256\n" in result.stderr
        # The interpreter and model take about 30 MB; the line, never whole.
        assert UNDER_ADDRESS_SANITIZER or int(peak_kilobytes) < 100_000, character


def test_a_cut_line_is_reported_whatever_its_start(model):
    # The part of a line that is kept may be all spaces; the line is not blank.
    result = run_vurel("g2p", "-m", str(model), input=" " * 5000 + "cat\nbox\n")
    assert result.stdout.splitlines() == [BOX]
    assert "too long: 5,003 characters, more than 256\n" in result.stderr
    # A character that the kept part ends inside counts once: "é" is two
    # bytes, and each offset puts the cut at another byte of one of them.
    for offset in (0, 1):
        result = run_vurel("g2p", "-m", str(model), input="a" * offset + "é" * 3000 + "\nbox\n")
        assert f"too long: {offset + 3000:,} characters, more than 256\n" in result.stderr, offset


# One record per line ----------------------------------------------------------


def test_every_word_gives_blank_lines_their_record_in_every_format(model):
    text = "cat\n\nqqq\n  \nbox\ntab\n"
    expected = {
        "tsv": [CAT, "\t\t\tnone", "qqq\t\t\tnone", "\t\t\tnone", BOX, "tab\t0.7000\tT AE1 B\tmodel"],
        "dict": ["cat K AE1 T # model", " # none: empty word", "qqq # none: unknown characters: 'q'",
                 " # none: empty word", "box B OW1 K S # model", "tab T AE1 B # model"],
    }
    for layout, output in expected.items():
        result = run_vurel("g2p", "-m", str(model), "--every-word", "-f", layout, input=text)
        assert result.stdout.splitlines() == output, layout
    result = run_vurel("g2p", "-m", str(model), "--every-word", "-f", "jsonl", input=text)
    records = [json.loads(line) for line in result.stdout.splitlines()]
    assert [(record["word"], record.get("problem")) for record in records] == [
        ("cat", None), ("", "empty word"), ("qqq", "unknown characters: 'q'"), ("", "empty word"), ("box", None),
        ("tab", None),
    ]
    # Without it, blank lines only separate words.
    assert run_vurel("g2p", "-m", str(model), input=text).stdout.splitlines() == [
        CAT, BOX, "tab\t0.7000\tT AE1 B\tmodel"]
