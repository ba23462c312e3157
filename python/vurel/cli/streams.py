"""Where a ``vurel`` command's words come from and where its lines go:
input read lazily and checked, and output whose failures end the command
with one line. Every command that reads words or writes records uses these."""

from __future__ import annotations

import codecs
import os
import stat
import sys
from collections import deque
from collections.abc import Iterator, Sequence
from typing import BinaryIO, TextIO

from vurel.cli.errors import CliError, UsageError


def plural(count: int, singular: str, plural_form: str | None = None) -> str:
    """``count`` with thousands separators and the noun that agrees with it."""
    return f"{count:,} {singular if count == 1 else plural_form or singular + 's'}"


# Reading words ------------------------------------------------------------


# Bytes read at a time past the part of a line that is kept. Every read
# returns to the interpreter, so that a signal is answered within a line
# that never ends.
_PIECE_BYTES = 1 << 16
# The bytes that continue a UTF-8 character: a line's characters are its
# bytes less these.
_CONTINUATION_BYTES = bytes(range(0x80, 0xC0))


class CutLine(str):
    """The start of an input line too long to decode, as a word: the rest of
    the line was skipped unread. ``characters`` is the whole line's length,
    spaces included, line end excluded."""

    characters: int


class WordSource:
    """The words to decode, read lazily. For a file, ``sizes`` gets the bytes
    each word stands for (its line and the blank lines before it), so that
    progress can count exactly what has been written.

    ``max_length`` bounds the memory a line takes: of a line longer than
    ``max_length`` characters (0: no bound) only the start is kept and the
    word is a `CutLine`. ``blank_lines`` makes a blank line the empty word
    instead of being skipped."""

    def __init__(self, words: Sequence[str], stream: BinaryIO | None, name: str, *,
                 max_length: int = 0, blank_lines: bool = False) -> None:
        self._words = words
        self.stream = stream
        self.name = name
        self.sizes: deque[int] = deque()
        self.total_bytes: int | None = None
        # Enough bytes for max_length + 1 characters in any script, with
        # spaces around them.
        self._kept_bytes = 4 * (max_length + 1) + 64 if max_length else None
        self._blank_lines = blank_lines
        # Whether it waits on its stream for a line, and whether it is to end.
        self.reading = False
        self.stopped = False
        if stream is not None:
            try:
                status = os.fstat(stream.fileno())
            except (OSError, ValueError):
                status = None
            if status is not None and status.st_size > 0 and _is_regular(status.st_mode):
                self.total_bytes = status.st_size

    def is_interactive(self) -> bool:
        """Whether the words are typed at a terminal."""
        try:
            return self.stream is not None and self.stream.isatty()
        except (OSError, ValueError):
            return False

    def __iter__(self) -> Iterator[str]:
        if self.stream is None:
            for number, word in enumerate(self._words, start=1):
                if self.stopped:
                    return
                try:
                    word.encode("utf-8")
                except UnicodeEncodeError:
                    raise CliError(f"word argument {number} is not valid UTF-8") from None
                self.sizes.append(1)
                yield word
            return
        pending = 0
        number = 0
        while not self.stopped:
            self.reading = True
            try:
                read = self._read_line(number + 1)
            finally:
                self.reading = False
            if read is None:
                return
            raw, size, skipped = read
            number += 1
            pending += size
            decoder = codecs.getincrementaldecoder("utf-8")()
            try:
                # A cut line may end inside a character: that part is left out.
                line = decoder.decode(raw, final=not skipped)
            except UnicodeDecodeError as error:
                raise CliError(
                    f"{self.name}:{number}: invalid UTF-8 (byte 0x{raw[error.start]:02x} at column {error.start + 1})"
                ) from None
            if number == 1:
                line = line.removeprefix("\ufeff")
            word = line.strip()
            if skipped:
                word = CutLine(word)
                # The character the kept bytes end inside counts once.
                word.characters = len(line) + skipped + bool(decoder.getstate()[0])
            # A cut line is reported even when its kept start is all spaces.
            if word or skipped or self._blank_lines:
                self.sizes.append(pending)
                pending = 0
                yield word

    def _read_line(self, number: int) -> tuple[bytes, int, int] | None:
        """The next line: the bytes kept of it, its size in bytes, and the
        characters skipped after the kept bytes, line end excluded; None at
        the end of the input."""
        first = self._kept_bytes or _PIECE_BYTES
        piece = self.stream.readline(first)
        if not piece:
            return None
        pieces = [piece]
        size = len(piece)
        skipped = 0
        more = len(piece) == first and not piece.endswith(b"\n")
        try:
            while more:
                piece = self.stream.readline(_PIECE_BYTES)
                more = len(piece) == _PIECE_BYTES and not piece.endswith(b"\n")
                size += len(piece)
                if self._kept_bytes is None:
                    pieces.append(piece)
                else:
                    piece = piece.rstrip(b"\r\n")
                    skipped += len(piece.translate(None, _CONTINUATION_BYTES))
            return b"".join(pieces), size, skipped
        except MemoryError:
            raise CliError(f"{self.name}:{number}: line too long to hold in memory; "
                           "give --max-length to skip such lines") from None


def _is_regular(mode: int) -> bool:
    return stat.S_ISREG(mode)


def open_word_source(words: Sequence[str], path: str | None, **reading) -> tuple[WordSource, BinaryIO | None]:
    """The words of a command: its arguments, the file ``path`` (``-`` for
    standard input), or else standard input; ``reading`` goes to
    `WordSource`. Returns the source and the stream the caller must close
    (None when there is none to close)."""
    if words and path:
        raise UsageError("give words as arguments or with --input, not both")
    if words:
        return WordSource(words, None, "<arguments>"), None
    if path and path != "-":
        try:
            stream = open(path, "rb")  # noqa: SIM115 - closed by the caller
        except OSError as error:
            raise CliError(f"cannot read {path}: {error.strerror or error}") from None
        return WordSource((), stream, path, **reading), stream
    if sys.stdin is None:
        raise CliError("standard input is closed: give words as arguments or with --input")
    return WordSource((), sys.stdin.buffer, "<stdin>", **reading), None


# Writing lines ------------------------------------------------------------


class Output:
    """The stream pronunciations go to. A failed write ends the command with
    one line naming the file and the system's reason; a reader that went
    away (BrokenPipeError) still ends it quietly."""

    def __init__(self, stream: TextIO, name: str) -> None:
        self.stream = stream
        self.name = name

    def _failed(self, error: OSError) -> CliError:
        if self.stream is sys.stdout:
            discard_stdout()
        return CliError(f"cannot write {self.name}: {error.strerror or error}")

    def write(self, text: str) -> None:
        try:
            self.stream.write(text)
        except BrokenPipeError:
            raise
        except OSError as error:
            raise self._failed(error) from None

    def flush(self) -> None:
        try:
            self.stream.flush()
        except BrokenPipeError:
            raise
        except OSError as error:
            raise self._failed(error) from None

    def isatty(self) -> bool:
        return self.stream.isatty()

    def close(self) -> None:
        try:
            self.stream.close()
        except OSError as error:
            raise self._failed(error) from None


def _same_file(path: str, stream: BinaryIO | None) -> bool:
    """Whether ``path`` is the file ``stream`` reads (through any link)."""
    if stream is None:
        return False
    try:
        read = os.fstat(stream.fileno())
        written = os.stat(path)
    except (OSError, ValueError):
        return False
    return _is_regular(read.st_mode) and (read.st_dev, read.st_ino) == (written.st_dev, written.st_ino)


def open_output(path: str | None, source: BinaryIO | None) -> Output:
    if path is None:
        return Output(sys.stdout, "standard output")
    if _same_file(path, source):
        raise CliError(f"the output {path} is the input file: writing it would empty it first")
    try:
        stream = open(path, "w", encoding="utf-8", newline="\n")  # noqa: SIM115 - closed by the caller
    except OSError as error:
        raise CliError(f"cannot write {path}: {error.strerror or error}") from None
    return Output(stream, path)


def discard_stdout() -> None:
    """Points standard output at the null device, so that the lines still
    buffered do not fail again when the interpreter exits."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def print_line(text: str) -> None:
    """Writes a line of a command's report to standard output."""
    Output(sys.stdout, "standard output").write(text + "\n")


def flush_stdout() -> None:
    """Flushes standard output; a failure ends the command with one line."""
    Output(sys.stdout, "standard output").flush()
