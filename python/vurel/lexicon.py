"""Reading pronunciation lexicons: CMU dictionary files and TSV files.

CMU style: ``word P1 P2 ...`` with variants as ``word(2)``, whitespace
between fields, ``;;;`` comment lines and ``# ...`` comments at line end.
TSV: ``word<TAB>pronunciation`` or ``word<TAB>weight<TAB>pronunciation`` (the
layout ``vurel g2p --format tsv`` writes, extra columns ignored), phonemes
separated by spaces. A line holding a tab is read as TSV, any other as CMU
style, so one file may not mix them by accident: a TSV file's lines all hold
tabs.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field

_VARIANT = re.compile(r"^(.+)\((\d+)\)$")
_TRAILING_COMMENT = re.compile(r"\s#")


class LexiconError(ValueError):
    """A lexicon line that cannot be read; the message names file and line."""


@dataclass
class Lexicon:
    """Pronunciations by word, in file order; lookups fold case."""

    entries: dict[str, list[list[str]]] = field(default_factory=dict)

    def add(self, word: str, phonemes: list[str]) -> None:
        variants = self.entries.setdefault(word.casefold(), [])
        if phonemes not in variants:
            variants.append(phonemes)

    def get(self, word: str) -> list[list[str]] | None:
        return self.entries.get(word.casefold())

    def __len__(self) -> int:
        return len(self.entries)


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def parse_line(line: str) -> tuple[str, list[str]] | None:
    """The word and phonemes of one lexicon line, or None for a blank or comment line.

    Raises ValueError for a line that names a word without phonemes.
    """
    if "\t" in line:
        columns = line.rstrip("\r\n").split("\t")
        word = columns[0].strip()
        if not word:
            return None
        if len(columns) >= 3 and _is_number(columns[1].strip()):
            pronunciation = columns[2]
        elif len(columns) >= 2:
            pronunciation = columns[1]
        else:
            pronunciation = ""
        phonemes = pronunciation.split()
    else:
        text = line.strip()
        if not text or text.startswith(";;;"):
            return None
        text = _TRAILING_COMMENT.split(text, maxsplit=1)[0]
        fields = text.split()
        if not fields:
            return None
        word, phonemes = fields[0], fields[1:]
        variant = _VARIANT.match(word)
        if variant:
            word = variant.group(1)
    if not phonemes:
        raise ValueError(f"no pronunciation for {word!r}")
    return word, phonemes


def decode_lines(lines: Iterable[bytes], name: str) -> Iterator[tuple[int, str]]:
    """Numbered UTF-8 lines of a byte stream; invalid UTF-8 raises LexiconError
    naming the line."""
    for number, raw in enumerate(lines, start=1):
        try:
            yield number, raw.decode("utf-8")
        except UnicodeDecodeError as error:
            raise LexiconError(
                f"{name}:{number}: invalid UTF-8 (byte 0x{raw[error.start]:02x} at column {error.start + 1})"
            ) from None


def read_lexicon(path: str) -> Lexicon:
    """Reads a CMU dictionary or TSV lexicon. OSError if it cannot be read;
    LexiconError for a bad line."""
    lexicon = Lexicon()
    with open(path, "rb") as stream:
        for number, line in decode_lines(stream, path):
            if number == 1:
                line = line.removeprefix("\ufeff")
            try:
                entry = parse_line(line)
            except ValueError as error:
                raise LexiconError(f"{path}:{number}: {error}") from None
            if entry is not None:
                lexicon.add(*entry)
    return lexicon
