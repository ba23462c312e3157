"""Each language's conventions for reading text aloud, as data.

A language's file ``data/<code>.toml`` holds its number marks, ordinal and
year rule sets (names of ICU's spell-out rule sets), date order and month
names, how times and amounts of money are read, and its tables of units,
abbreviations, letter names and symbols. `conventions` reads a file once and
checks that every table the readers need is there and well formed; code
never branches on a language's code.
"""

from __future__ import annotations

import functools
import tomllib
from dataclasses import dataclass
from importlib.resources import files
from types import MappingProxyType
from typing import Mapping


class ConventionsError(ValueError):
    """A language's data file is missing or malformed; the message names the file and the entry."""


@dataclass(frozen=True)
class Currency:
    code: str
    symbols: tuple[str, ...]
    major: tuple[str, str]
    minor: tuple[str, str]


@dataclass(frozen=True)
class Conventions:
    """One language's conventions; see data/en.toml for what each entry means."""

    code: str
    locale: str
    plural: str
    vowels: str
    acronym_onsets: tuple[str, ...]
    acronym_codas: tuple[str, ...]
    acronym_vowel_pairs: tuple[str, ...]
    decimal: tuple[str, ...]
    groups: tuple[str, ...]
    ordinal: str
    ordinal_suffixes: Mapping[str, str]
    ordinal_period: bool
    ordinal_before_lowercase: bool
    year_words: frozenset[str]
    ordinal_after: Mapping[str, str]
    ordinal_nouns: Mapping[str, str]
    ordinal_words: Mapping[str, str]
    spelled_starts: Mapping[str, str]
    ordinal_ending: tuple[tuple[str, str], ...]
    year: str
    years: tuple[int, int]
    decade_suffix: str
    plural_ending: tuple[tuple[str, str], ...]
    date_order: str
    date_spoken: str
    date_day: str
    date_year: str
    date_without_year: str
    date_joiners: tuple[str, ...]
    date_first_day: str
    date_year_markers: tuple[str, ...]
    date_day_endings: tuple[tuple[str, str], ...]
    months: tuple[str, ...]
    month_abbreviations: Mapping[str, int]
    time_separators: tuple[str, ...]
    time_hours: str
    time_hours_from: int
    time_spoken: str
    time_on_the_hour: str
    minute_under_ten: str
    time_markers: Mapping[str, str]
    time_on_the_hour_marked: str
    money_spoken: str
    money_major_only: str
    money_number: str
    money_minor_number: str
    currencies: tuple[Currency, ...]
    words: Mapping[str, str]
    range_spoken: str
    range_number: str
    range_unit_form: str
    fractions: Mapping[str, str]
    units: Mapping[str, tuple[str, ...]]
    titles: Mapping[str, str]
    abbreviations: Mapping[str, str]
    after_names: Mapping[str, str]
    letter_names: Mapping[str, str]
    symbols: Mapping[str, str]


NUMBERING = "%spellout-numbering"
_PLURAL_RULES = ("one", "one-zero", "slavic", "czech")
_WORDS = ("percent", "range", "minus", "fraction", "point", "measure")
_RANGE_UNIT_FORMS = ("second", "last")


def _frozen(table: Mapping) -> Mapping:
    return MappingProxyType(dict(table))


def _pairs(rows: list, name: str, where: str) -> tuple[tuple[str, str], ...]:
    if not all(isinstance(row, list) and len(row) == 2 and all(isinstance(x, str) for x in row) for row in rows):
        raise ConventionsError(f"{where}: {name} must be a list of [ending, replacement] pairs")
    return tuple((row[0], row[1]) for row in rows)


@functools.cache
def conventions(code: str) -> Conventions:
    """The conventions of the language ``code``, read once. Raises
    ConventionsError naming the file and the entry that is missing or wrong."""
    where = f"data/{code}.toml"
    resource = files(__package__) / "data" / f"{code}.toml"
    try:
        data = tomllib.loads(resource.read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise ConventionsError(f"no text conventions for the language {code!r}") from None
    except tomllib.TOMLDecodeError as error:
        raise ConventionsError(f"{where}: {error}") from None
    try:
        return _build(code, data, where)
    except KeyError as error:
        raise ConventionsError(f"{where}: missing {error.args[0]!r}") from None


def _build(code: str, data: dict, where: str) -> Conventions:
    numbers, dates, times, money = data["numbers"], data["dates"], data["times"], data["money"]
    if data["plural"] not in _PLURAL_RULES:
        raise ConventionsError(f"{where}: plural must be one of {', '.join(_PLURAL_RULES)}")
    if sorted(dates["order"]) != ["d", "m", "y"]:
        raise ConventionsError(f"{where}: dates.order must hold d, m and y once each")
    if len(dates["months"]) != 12:
        raise ConventionsError(f"{where}: dates.months must name twelve months")
    missing_words = [word for word in _WORDS if word not in data["words"]]
    if missing_words:
        raise ConventionsError(f"{where}: words lacks {', '.join(missing_words)}")
    currencies = tuple(Currency(row["code"], tuple(row["symbols"]), tuple(row["major"]), tuple(row["minor"]))
                       for row in money["currencies"])
    if any(len(c.major) != len(c.minor) or len(c.major) not in (2, 3) for c in currencies):
        raise ConventionsError(f"{where}: a currency's major and minor names need 2 forms (3 for slavic plurals)")
    units = {name: tuple(forms) for name, forms in data["units"].items()}
    ranges = data.get("ranges", {})
    if ranges.get("unit_form", "second") not in _RANGE_UNIT_FORMS:
        raise ConventionsError(f"{where}: ranges.unit_form must be one of {', '.join(_RANGE_UNIT_FORMS)}")
    hours_from = times.get("hours_from", 0)
    if not isinstance(hours_from, int) or not 0 <= hours_from < 12:
        raise ConventionsError(f"{where}: times.hours_from must be a whole number from 0 to 11")
    return Conventions(
        code=code,
        locale=data["locale"],
        plural=data["plural"],
        vowels=data["vowels"],
        acronym_onsets=tuple(data.get("acronyms", {}).get("onsets", [])),
        acronym_codas=tuple(data.get("acronyms", {}).get("codas", [])),
        acronym_vowel_pairs=tuple(data.get("acronyms", {}).get("vowel_pairs", [])),
        decimal=tuple(numbers["decimal"]) if isinstance(numbers["decimal"], list) else (numbers["decimal"],),
        groups=tuple(numbers["groups"]),
        ordinal=numbers.get("ordinal", ""),
        ordinal_suffixes=_frozen(numbers.get("ordinal_suffixes", {})),
        ordinal_period=numbers.get("ordinal_period", False),
        ordinal_before_lowercase=numbers.get("ordinal_before_lowercase", False),
        year_words=frozenset(word.lower() for word in numbers.get("year_words", [])),
        ordinal_after=_frozen({word.lower(): rule for word, rule in numbers.get("ordinal_after", {}).items()}),
        ordinal_nouns=_frozen({noun.lower(): rule for noun, rule in numbers.get("ordinal_nouns", {}).items()}),
        ordinal_words=_frozen(numbers.get("ordinal_words", {})),
        spelled_starts=_frozen(numbers.get("spelled_starts", {})),
        ordinal_ending=_pairs(numbers.get("ordinal_ending", []), "numbers.ordinal_ending", where),
        year=numbers.get("year", ""),
        years=tuple(numbers.get("years", [0, -1])),
        decade_suffix=numbers.get("decade_suffix", ""),
        plural_ending=_pairs(numbers.get("plural_ending", []), "numbers.plural_ending", where),
        date_order=dates["order"],
        date_spoken=dates["spoken"],
        date_day=dates["day"],
        date_year=dates.get("year", numbers.get("year", "")),
        date_without_year=dates.get("spoken_without_year", dates["spoken"]),
        date_joiners=tuple(dates.get("joiners", [])),
        date_first_day=dates.get("first_day", ""),
        date_year_markers=tuple(dates.get("year_markers", [])),
        date_day_endings=_pairs(dates.get("day_endings", []), "dates.day_endings", where),
        months=tuple(dates["months"]),
        month_abbreviations=_frozen(dates["abbreviations"]),
        time_separators=tuple(times["separators"]),
        time_hours=times.get("hours", NUMBERING),
        time_hours_from=hours_from,
        time_spoken=times["spoken"],
        time_on_the_hour=times["on_the_hour"],
        minute_under_ten=times.get("minute_under_ten", "{minutes}"),
        time_markers=_frozen(times.get("markers", {})),
        time_on_the_hour_marked=times.get("on_the_hour_marked", times["on_the_hour"] + " {marker}"),
        money_spoken=money["spoken"],
        money_major_only=money.get("major_only", "{major} {major_unit}"),
        money_number=money.get("number", NUMBERING),
        money_minor_number=money.get("minor_number", money.get("number", NUMBERING)),
        currencies=currencies,
        words=_frozen(data["words"]),
        range_spoken=ranges.get("spoken", "{first} " + data["words"]["range"] + " {second}"),
        range_number=ranges.get("number", NUMBERING),
        range_unit_form=ranges.get("unit_form", "second"),
        fractions=_frozen(data.get("fractions", {})),
        units=_frozen(units),
        titles=_frozen(data.get("titles", {})),
        abbreviations=_frozen(data.get("abbreviations", {})),
        after_names=_frozen(data.get("after_names", {})),
        letter_names=_frozen(data["letters"]),
        symbols=_frozen(data.get("symbols", {})),
    )
