"""Tokens as output lines: phonemes in place, the spoken text, or JSON."""

from __future__ import annotations

import json

from vurel.text import tokens as kinds
from vurel.text.tokens import Token


def _ends_with_its_period(token: Token) -> bool:
    """Whether the period of an abbreviation (etc., Main St.) also ends the
    sentence: kept as the sentence's mark, since its words do not show it."""
    return token.kind in (kinds.ABBREVIATION, kinds.ACRONYM) and token.sentence_end and token.text.endswith(".")


def phoneme_line(found: list[Token], *, ipa: bool = False, phoneme_separator: str = " ",
                 word_separator: str = " | ", punctuation: bool = True) -> str:
    """Each word's best phonemes joined by ``phoneme_separator`` (with
    ``ipa``, its IPA as one string), words and punctuation marks in their
    order joined by ``word_separator``. Words without a pronunciation are
    left out (their tokens say why)."""
    items: list[str] = []
    for token in found:
        if token.kind == kinds.PUNCTUATION:
            if punctuation:
                items.append(token.text)
            continue
        for phonemes, alternatives in zip(token.phonemes, token.pronunciations):
            if not phonemes:
                continue
            items.append(alternatives[0].ipa if ipa and alternatives[0].ipa is not None
                         else phoneme_separator.join(phonemes))
        if punctuation and _ends_with_its_period(token):
            items.append(".")
    return word_separator.join(items)


def spoken_line(found: list[Token], *, punctuation: bool = True) -> str:
    """The text as it is read, in words; punctuation (when kept) stays
    against the words it stood against."""
    out: list[str] = []
    previous: Token | None = None
    for token in found:
        if token.kind == kinds.PUNCTUATION:
            if not punctuation:
                continue
            text = token.text
        elif token.words:
            text = " ".join(token.words)
            if punctuation and _ends_with_its_period(token):
                text += "."
        else:
            continue
        joined = previous is not None and previous.end == token.start and (
            token.kind == kinds.PUNCTUATION or previous.kind == kinds.PUNCTUATION)
        if out and not joined:
            out.append(" ")
        out.append(text)
        previous = token
    return "".join(out)


def json_lines(found: list[Token], *, line: int | None = None, offset: int = 0, alternatives: bool = False,
               punctuation: bool = True) -> list[str]:
    """One JSON record per token (``line``, when given, is the input line
    number; ``offset`` is added to the spans, for a piece of a line)."""
    records = []
    for token in found:
        if token.kind == kinds.PUNCTUATION and not punctuation:
            continue
        record = token.as_dict(alternatives=alternatives)
        if offset:
            record["start"] += offset
            record["end"] += offset
        if line is not None:
            record = {"line": line, **record}
        records.append(json.dumps(record, ensure_ascii=False))
    return records
