"""Tokens to pronunciations: each token's words through the word front end.

`TextReader` scans texts with its language's `Scanner`, decides how each
word is read (whole from the lexicon, in parts where the lexicon lacks a
compound, letter by letter for an acronym), and sends the distinct words
of a whole batch of texts to `G2P` at once. Words already pronounced are
remembered, up to a bound, since running text repeats its words.
"""

from __future__ import annotations

import functools
import re
from collections.abc import Sequence

from vurel.g2p import UNKNOWN_CHARACTERS, G2P, Pronunciation, WordResult
from vurel.text import tokens as kinds
from vurel.text.conventions import conventions
from vurel.text.numbers import SOFT_HYPHEN, NumberReader
from vurel.text.scanner import Scanner
from vurel.text.tokens import Token

# Words whose results a reader remembers; past this it starts again, which
# bounds its memory (about 25 MB at most with IPA, far less in practice).
_REMEMBERED_WORDS = 20_000
# Where a word the lexicon lacks is split into parts read one by one.
_SPLIT = re.compile("[-\u2010_.:]")
_NO_WORDS = (kinds.PUNCTUATION,)
# Tokens whose words are the text's own. The words of the other tokens are
# ours (ICU's number words, the tables' readings) and keep their spelling,
# one spoken word for each: twenty-six, vingt-huit. Such a word is
# pronounced whole where the lexicon has it (CMUdict has nine compound
# numbers, twenty-one to twenty-five among them; French ones keep their
# liaison, vingt-huit with its t), otherwise as its parts joined, which
# for English gives the same phonemes as the lexicon's compounds but for
# the stress of the last part. Shown whole, the spoken text no longer
# mixes twenty-three (in the lexicon) with twenty six (not).
_WRITTEN_WORDS = frozenset((kinds.WORD, kinds.ACRONYM))
_APOSTROPHES = re.compile("['’]")


@functools.cache
def scanner(code: str) -> Scanner:
    """The scanner of a language, made once and shared."""
    rules = conventions(code)
    return Scanner(rules, NumberReader(rules))


@functools.cache
def _word_shape(code: str) -> re.Pattern:
    """The shape of an all-capital word read as a word in the language:
    syllables of an onset, a vowel (or one of the language's vowel pairs)
    and a coda, where onsets and codas are single consonants or the
    clusters the language's data lists."""
    rules = conventions(code)
    vowel = "|".join([*map(re.escape, rules.acronym_vowel_pairs), f"[{re.escape(rules.vowels)}]"])
    consonant = f"[^{re.escape(rules.vowels)}]"
    onset = "|".join([*map(re.escape, sorted(rules.acronym_onsets, key=len, reverse=True)), consonant])
    coda = "|".join([*map(re.escape, sorted(rules.acronym_codas, key=len, reverse=True)), consonant])
    # Between two vowels, at least one consonant: CIA is spelled.
    between = rf"(?:{coda})(?:{onset})?|(?:{onset})"
    return re.compile(rf"(?:{onset})?(?:{vowel})(?:(?:{between})(?:{vowel}))*(?:{coda})?")


def reads_as_word(letters: str, code: str) -> bool:
    """Whether an all-capital word is read as a word (NASA, NATO, UNESCO)
    rather than spelled (FBI, IBM, CIA): three letters or more, in the
    syllables the language's data allows (`_word_shape`)."""
    return len(letters) >= 3 and letters.isalpha() and _word_shape(code).fullmatch(letters.lower()) is not None


def _joined(word: str, parts: list[Pronunciation]) -> Pronunciation:
    """One pronunciation of the parts of a word read one after the other."""
    ipa = None if parts[0].ipa is None else "".join(part.ipa or "" for part in parts)
    source = kinds.SOURCE_LEXICON if all(part.source == kinds.SOURCE_LEXICON for part in parts) \
        else kinds.SOURCE_MODEL
    return Pronunciation(word, tuple(phoneme for part in parts for phoneme in part.phonemes), source,
                         sum(part.weight for part in parts), ipa)


class _Plan:
    """How one spoken word is read: the pieces pronounced and joined, and
    the source to report (None: from the pieces)."""

    __slots__ = ("shown", "pieces", "source")

    def __init__(self, shown: str, pieces: list[str], source: str | None = None) -> None:
        self.shown = shown
        self.pieces = pieces
        self.source = source


class TextReader:
    """Reads texts aloud with ``g2p``, in its language. Safe to share
    between threads: it holds only the scanner (read-only) and the words it
    remembers."""

    def __init__(self, g2p: G2P) -> None:
        self.g2p = g2p
        self.scanner = scanner(g2p.language.code)
        self.conventions = self.scanner.conventions
        self._known: dict[str, WordResult] = {}

    def build_merged_model(self, background: bool = False) -> bool:
        """Builds the model's merged model (which bounds its search) now
        rather than once enough words have asked for it, so that processes
        forked afterwards share it rather than each building its own; waits
        for a build under way and its thread. With ``background``, builds it
        on a thread of the decoder's and returns at once whether it is done."""
        return self.g2p._decoder.build_merged_model(background=background)

    def read(self, texts: Sequence[str]) -> list[list[Token]]:
        """The tokens of each text, each word pronounced."""
        scanned = [self.scanner.scan(text) for text in texts]
        plans: list[tuple[Token, list[_Plan]]] = []
        wanted: dict[str, None] = {}
        known = self._known
        for found in scanned:
            for token in found:
                if token.kind in _NO_WORDS or not token.words:
                    continue
                token_plans = self._plan(token)
                plans.append((token, token_plans))
                for plan in token_plans:
                    for piece in plan.pieces:
                        if piece not in known:
                            wanted[piece] = None
        if wanted:
            if len(known) + len(wanted) > _REMEMBERED_WORDS:
                known.clear()
            for result in self.g2p.pronounce_many(list(wanted)):
                known[result.word] = result
        for token, token_plans in plans:
            self._fill(token, token_plans, known)
        return scanned

    def _plan(self, token: Token) -> list[_Plan]:
        in_lexicon = self.g2p.in_lexicon
        if token.kind == kinds.ACRONYM:
            if in_lexicon(token.text) or reads_as_word(token.text, self.conventions.code):
                return [_Plan(token.text, [token.text])]
            return self._spelled(token.text)
        if len(token.text) == 1 and token.text.isalpha() and not in_lexicon(token.text):
            # A letter on its own that is not a word of the language is its name.
            return self._spelled(token.text)
        plans = []
        for word in token.words:
            whole = word.replace(SOFT_HYPHEN, "")
            if SOFT_HYPHEN in word and not in_lexicon(whole):
                plans.append(_Plan(whole, [piece for piece in word.split(SOFT_HYPHEN) if piece]))
            elif _SPLIT.search(whole) and not in_lexicon(whole) and token.kind in _WRITTEN_WORDS:
                # A compound of the text the lexicon lacks is read part by part (state-of-the-art).
                plans += [_Plan(part, [part]) for part in _SPLIT.split(whole) if part]
            elif _SPLIT.search(whole) and not in_lexicon(whole):
                plans.append(_Plan(whole, [part for part in _SPLIT.split(whole) if part]))
            else:
                plans.append(_Plan(whole, [whole]))
        return plans

    def _spelled(self, letters: str) -> list[_Plan]:
        """The letters' names, a word for each word of a name (i lunga)."""
        names = self.conventions.letter_names
        return [_Plan(word, [part for part in _SPLIT.split(word) if part], kinds.SOURCE_SPELLED)
                for letter in letters if letter.isalpha()
                for word in names.get(letter.lower(), letter.lower()).split()]

    def _result(self, piece: str, known: dict[str, WordResult]) -> WordResult:
        """The piece's result; a piece with an apostrophe the model does not
        know (German geht's) is pronounced as its parts, joined."""
        result = known.get(piece) or self.g2p.pronounce(piece)
        if result.pronunciations or not result.problem.startswith(UNKNOWN_CHARACTERS) \
                or not _APOSTROPHES.search(piece):
            return result
        parts = [known.get(part) or self.g2p.pronounce(part) for part in _APOSTROPHES.split(piece) if part]
        if not parts or not all(part.pronunciations for part in parts):
            return result
        result = known[piece] = WordResult(piece, (_joined(piece, [part.pronunciations[0] for part in parts]),))
        return result

    def _fill(self, token: Token, plans: list[_Plan], known: dict[str, WordResult]) -> None:
        token.words = []
        for plan in plans:
            results = [self._result(piece, known) for piece in plan.pieces]
            token.words.append(plan.shown)
            missing = next((result for result in results if not result.pronunciations), None)
            if missing is not None:
                token.phonemes.append(())
                token.source.append("none")
                token.pronunciations.append(())
                if token.problem is None:
                    token.problem = f"{missing.problem} (in {missing.word!r})" if len(results) > 1 or \
                        missing.word != token.text else missing.problem
                continue
            if len(results) == 1:
                alternatives = results[0].pronunciations
            else:
                alternatives = (_joined(plan.shown, [result.pronunciations[0] for result in results]),)
            token.phonemes.append(alternatives[0].phonemes)
            token.source.append(plan.source or alternatives[0].source)
            token.pronunciations.append(alternatives)
