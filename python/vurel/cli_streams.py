"""Where the ``vurel`` command's words come from and where its lines go:
input read lazily and checked, records shaped per format, progress on a
terminal, and output whose failures end the command with one line."""

from __future__ import annotations

import json
import math
import os
import re
import sys
from collections import deque
from collections.abc import Iterator, Sequence
from typing import BinaryIO, TextIO

from vurel.g2p import WordResult

PROGRAM = "vurel"


class CliError(Exception):
    """An expected failure: reported as one line, exit status 1."""


# Reading words ------------------------------------------------------------


def plural(count: int, singular: str, plural_form: str | None = None) -> str:
    return f"{count:,} {singular if count == 1 else plural_form or singular + 's'}"


class WordSource:
    """The words to decode, read lazily. For a file, ``sizes`` gets the bytes
    each word stands for (its line and the blank lines before it), so that
    progress can count exactly what has been written."""

    def __init__(self, words: Sequence[str], stream: BinaryIO | None, name: str) -> None:
        self._words = words
        self.stream = stream
        self.name = name
        self.sizes: deque[int] = deque()
        self.total_bytes: int | None = None
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
                raw = self.stream.readline()
            finally:
                self.reading = False
            if not raw:
                return
            number += 1
            pending += len(raw)
            try:
                line = raw.decode("utf-8")
            except UnicodeDecodeError as error:
                raise CliError(
                    f"{self.name}:{number}: invalid UTF-8 (byte 0x{raw[error.start]:02x} at column {error.start + 1})"
                ) from None
            if number == 1:
                line = line.removeprefix("\ufeff")
            word = line.strip()
            if word:
                self.sizes.append(pending)
                pending = 0
                yield word


def _is_regular(mode: int) -> bool:
    import stat

    return stat.S_ISREG(mode)


# Writing pronunciations ---------------------------------------------------


# Backslash escapes for the characters that would split a TSV or dict
# record; a dict record also ends its word at a space. Few words hold any,
# and looking for them costs much less than a translation.
_TSV_ESCAPES = {ord("\\"): "\\\\", ord("\t"): "\\t", ord("\n"): "\\n", ord("\r"): "\\r"}
_DICT_ESCAPES = {**_TSV_ESCAPES, ord(" "): "\\s"}
_TSV_ESCAPED = re.compile(r"[\\\t\n\r]")
_DICT_ESCAPED = re.compile(r"[\\\t\n\r ]")
MISSING = "none"


def _tsv_escaped(word: str) -> str:
    return word.translate(_TSV_ESCAPES) if _TSV_ESCAPED.search(word) else word


def _dict_escaped(word: str) -> str:
    return word.translate(_DICT_ESCAPES) if _DICT_ESCAPED.search(word) else word


def _shown_probability(probability: float | None) -> str:
    """A probability as output shows it; "-" for a lexicon entry, which has none."""
    return "-" if probability is None else f"{probability:.4f}"


class Formatter:
    """Turns one word's pronunciations into output lines. Every layout says
    where each pronunciation came from, and adds the IPA when asked. A word
    without pronunciation gets a JSON Lines record with its problem, and
    with ``every_word`` a line in the other layouts too (source "none")."""

    def __init__(self, layout: str, every_word: bool = False, ipa: bool = False,
                 probabilities: bool = False) -> None:
        self.layout = layout
        self.every_word = every_word
        self.ipa = ipa
        self.probabilities = probabilities

    def missing(self, result: WordResult) -> list[str]:
        if self.layout == "jsonl":
            record = {"word": result.word, "rank": None, "weight": None, "phonemes": [], "source": None,
                      "problem": result.problem}
            return [json.dumps(record, ensure_ascii=False)]
        if not self.every_word:
            return []
        if self.layout == "tsv":
            empty = [""] * (self.ipa + self.probabilities)
            return ["\t".join([_tsv_escaped(result.word), "", "", MISSING] + empty)]
        return [f"{_dict_escaped(result.word)} # {MISSING}: {result.problem}"]

    def lines(self, result: WordResult) -> list[str]:
        if self.layout == "tsv":
            return self._tsv_lines(result)
        if self.layout == "dict":
            return self._dict_lines(result)
        return self._jsonl_lines(result)

    # A run writes a line for every pronunciation: the word's escaping is
    # done once per word, and each line is one f-string.
    def _tsv_lines(self, result: WordResult) -> list[str]:
        word = _tsv_escaped(result.word)
        lines = []
        for found in result.pronunciations:
            line = f"{word}\t{found.weight:.4f}\t{' '.join(found.phonemes)}\t{found.source}"
            if found.ipa is not None:
                line += "\t" + found.ipa
            if self.probabilities:
                line += "\t" + _shown_probability(found.probability)
            lines.append(line)
        return lines

    def _dict_lines(self, result: WordResult) -> list[str]:
        word = _dict_escaped(result.word)
        lines = []
        for rank, found in enumerate(result.pronunciations, start=1):
            head = word if rank == 1 else f"{word}({rank})"
            comment = found.source if found.ipa is None else f"{found.source} /{found.ipa}/"
            if self.probabilities:
                comment += f" p={_shown_probability(found.probability)}"
            lines.append(f"{head} {' '.join(found.phonemes)} # {comment}")
        return lines

    def _jsonl_lines(self, result: WordResult) -> list[str]:
        lines = []
        for rank, found in enumerate(result.pronunciations, start=1):
            record: dict[str, object] = {
                "word": result.word,
                "rank": rank,
                "weight": found.weight if math.isfinite(found.weight) else None,
                "phonemes": list(found.phonemes),
                "source": found.source,
            }
            if found.ipa is not None:
                record["ipa"] = found.ipa
            if self.probabilities:
                record["probability"] = found.probability
            if result.dropped:
                record["dropped"] = result.dropped
            lines.append(json.dumps(record, ensure_ascii=False))
        return lines


class Progress:
    """A tqdm bar on a terminal's standard error, counting what has been
    written: bytes of the input file, or words."""

    def __init__(self, enabled: bool, source: WordSource, words: int | None) -> None:
        from tqdm import tqdm

        in_bytes = source.total_bytes is not None
        self._source = source
        self._bar = tqdm(
            total=source.total_bytes if in_bytes else words, unit="B" if in_bytes else " words",
            unit_scale=in_bytes, disable=not enabled, file=sys.stderr, leave=False, dynamic_ncols=True,
        )
        self.enabled = enabled

    def advance(self, words: int) -> None:
        """Counts the next ``words`` words as written."""
        sizes = self._source.sizes
        self._bar.update(sum(sizes.popleft() for _ in range(words)))

    def note(self, message: str) -> None:
        self._bar.clear()
        sys.stderr.write(f"{PROGRAM}: {message}\n")
        sys.stderr.flush()
        self._bar.refresh()

    def close(self) -> None:
        self._bar.close()


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
