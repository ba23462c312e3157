"""Tokens: pieces of a text with their place in it and how they are read."""

from __future__ import annotations

from dataclasses import dataclass, field

WORD = "word"
NUMBER = "number"
ORDINAL = "ordinal"
YEAR = "year"
DECADE = "decade"
DATE = "date"
TIME = "time"
MONEY = "money"
PERCENT = "percent"
UNIT = "unit"
RANGE = "range"
FRACTION = "fraction"
ABBREVIATION = "abbreviation"
ACRONYM = "acronym"
SYMBOL = "symbol"
PUNCTUATION = "punctuation"

KINDS = (WORD, NUMBER, ORDINAL, YEAR, DECADE, DATE, TIME, MONEY, PERCENT, UNIT, RANGE, FRACTION, ABBREVIATION,
         ACRONYM, SYMBOL, PUNCTUATION)

# Where a spoken word's phonemes come from: the language's lexicon, its
# model, or letter names of a word spelled out.
SOURCE_LEXICON = "lexicon"
SOURCE_MODEL = "model"
SOURCE_SPELLED = "spelled"

# Why a token is not read, or not wholly: problem texts start with one of these.
DROPPED = "dropped"


@dataclass(slots=True)
class Token:
    """A token of a text. ``start`` and ``end`` are code-point offsets into
    the text as given (``text == given[start:end]``). ``words`` are the
    words it is read as (none for punctuation), ``phonemes`` the best
    pronunciation of each, ``source`` where each came from, and
    ``pronunciations`` each word's pronunciations, best first (more than one
    when asked for). ``problem`` says why a token, or one of its words, has
    no pronunciation; ``sentence_end`` marks the token that ends a sentence."""

    text: str
    start: int
    end: int
    kind: str
    words: list[str] = field(default_factory=list)
    phonemes: list[tuple[str, ...]] = field(default_factory=list)
    source: list[str] = field(default_factory=list)
    problem: str | None = None
    sentence_end: bool = False
    pronunciations: list[tuple] = field(default_factory=list, repr=False)

    def as_dict(self, *, alternatives: bool = False) -> dict[str, object]:
        """The token's fields for JSON; ``alternatives`` adds each word's
        pronunciations with their weights and probabilities."""
        record: dict[str, object] = {
            "text": self.text, "start": self.start, "end": self.end, "kind": self.kind,
            "words": self.words, "phonemes": [list(p) for p in self.phonemes], "source": self.source,
        }
        if any(word and word[0].ipa is not None for word in self.pronunciations):
            record["ipa"] = [word[0].ipa if word else None for word in self.pronunciations]
        if self.sentence_end:
            record["sentence_end"] = True
        if self.problem is not None:
            record["problem"] = self.problem
        if alternatives:
            record["pronunciations"] = [
                [{"phonemes": list(p.phonemes), "weight": p.weight, "probability": p.probability,
                  **({"ipa": p.ipa} if p.ipa is not None else {})} for p in word]
                for word in self.pronunciations
            ]
        return record
