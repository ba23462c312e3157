"""What is not a word, read aloud in each language's own way: case tables
per language and kind, one row per convention a slip would break. The
expected readings are written from each language's usage, not produced by
the code under test."""

from __future__ import annotations

import pytest

from vurel.text.numbers import SOFT_HYPHEN
from vurel.text.pipeline import scanner


def read(lang: str, text: str) -> list[tuple[str, str, str]]:
    """(kind, text, spoken words) of each token, soft hyphens removed."""
    return [(token.kind, token.text, " ".join(token.words).replace(SOFT_HYPHEN, ""))
            for token in scanner(lang).scan(text)]


def single(lang: str, text: str) -> tuple[str, str]:
    found = read(lang, text)
    assert len(found) == 1, found
    assert found[0][1] == text
    return found[0][0], found[0][2]


ENGLISH = [
    # Cardinals with the language's marks, negatives, long digit strings.
    ("1,234.5", "number", "one thousand two hundred thirty-four point five"),
    ("-7", "number", "minus seven"),
    ("−7", "number", "minus seven"),
    ("007", "number", "zero zero seven"),
    ("1234567890123456789", "number",
     "one hundred twenty-three four hundred fifty-six seven hundred eighty-nine zero twelve three hundred "
     "forty-five six hundred seventy-eight nine"),
    # Ordinals by their suffixes.
    ("1st", "ordinal", "first"),
    ("22nd", "ordinal", "twenty-second"),
    ("103rd", "ordinal", "one hundred third"),
    # Years in pairs of digits; decades; a number outside the years is a number.
    ("1990", "year", "nineteen ninety"),
    ("2026", "year", "twenty twenty-six"),
    ("1905", "year", "nineteen oh-five"),
    ("1990s", "decade", "nineteen nineties"),
    ("3000", "number", "three thousand"),
    # Dates: month first, in numbers and with names.
    ("12/09/2026", "date", "December ninth twenty twenty-six"),
    ("2026-12-09", "date", "December ninth twenty twenty-six"),
    ("Dec. 9th", "date", "December ninth"),
    ("Dec. 9th, 2026", "date", "December ninth twenty twenty-six"),
    ("9 December 2026", "date", "December ninth twenty twenty-six"),
    ("9th of December", "date", "December ninth"),
    # Times.
    ("10:30", "time", "ten thirty"),
    ("10:05", "time", "ten oh five"),
    ("10:00", "time", "ten o'clock"),
    ("3 pm", "time", "three p m"),
    ("7:45 a.m.", "time", "seven forty-five a m"),
    # Money, symbol or code before or after the amount.
    ("$4.50", "money", "four dollars fifty cents"),
    ("$1", "money", "one dollar"),
    ("$0.01", "money", "one cent"),
    ("£1.20", "money", "one pound twenty pence"),
    ("USD 20", "money", "twenty dollars"),
    ("20 EUR", "money", "twenty euros"),
    ("€3.5", "money", "three euros fifty cents"),
    # Percent, units (singular after one), ranges, fractions.
    ("50%", "percent", "fifty percent"),
    ("-5 °C", "unit", "minus five degrees Celsius"),
    ("1 km", "unit", "one kilometer"),
    ("120 km/h", "unit", "one hundred twenty kilometers per hour"),
    ("10-12", "range", "ten to twelve"),
    ("1990–2000", "range", "nineteen ninety to two thousand"),
    ("1/2", "fraction", "one half"),
    ("½", "fraction", "one half"),
    ("3/8", "fraction", "three over eight"),
    # Abbreviations from the table; symbols with a reading.
    ("Dr.", "abbreviation", "doctor"),
    ("e.g.", "abbreviation", "for example"),
    ("vs.", "abbreviation", "versus"),
    ("&", "symbol", "and"),
    ("@", "symbol", "at"),
]

GERMAN = [
    ("1.234,5", "number", "eintausendzweihundertvierunddreißig Komma fünf"),
    ("1 234,5", "number", "eintausendzweihundertvierunddreißig Komma fünf"),
    ("3,14", "number", "drei Komma eins vier"),
    ("1990", "year", "neunzehnhundertneunzig"),
    ("2026", "year", "zweitausendsechsundzwanzig"),
    ("09.12.2026", "date", "neunten Dezember zweitausendsechsundzwanzig"),
    ("9. Dezember 2026", "date", "neunten Dezember zweitausendsechsundzwanzig"),
    ("3. Okt.", "date", "dritten Oktober"),
    ("14.30 Uhr", "time", "vierzehn Uhr dreißig"),
    ("14:30", "time", "vierzehn Uhr dreißig"),
    ("1:00", "time", "ein Uhr"),
    ("4,50 €", "money", "vier Euro fünfzig"),
    ("1 €", "money", "ein Euro"),
    ("50 %", "percent", "fünfzig Prozent"),
    ("5 km", "unit", "fünf Kilometer"),
    ("1 h", "unit", "eins Stunde"),
    ("10-12", "range", "zehn bis zwölf"),
    ("z. B.", "abbreviation", "zum Beispiel"),
    ("z.B.", "abbreviation", "zum Beispiel"),
    ("usw.", "abbreviation", "und so weiter"),
    ("Nr.", "abbreviation", "Nummer"),
    ("¾", "fraction", "drei Viertel"),
]


@pytest.mark.parametrize(("text", "kind", "spoken"), ENGLISH)
def test_english_readings(text, kind, spoken):
    assert single("en", text) == (kind, spoken)


@pytest.mark.parametrize(("text", "kind", "spoken"), GERMAN)
def test_german_readings(text, kind, spoken):
    assert single("de", text) == (kind, spoken)


def test_german_ordinal_period_only_before_a_word():
    assert read("de", "der 3. Platz")[1] == ("ordinal", "3.", "dritte")
    # At the end of a sentence the period is the sentence's.
    assert read("de", "Es waren 3.")[2:] == [("number", "3", "drei"), ("punctuation", ".", "")]


def test_a_currency_symbol_after_an_amount_is_not_taken_from_the_next_amount():
    assert read("en", "-12 $0.05") == [("number", "-12", "minus twelve"), ("money", "$0.05", "five cents")]
