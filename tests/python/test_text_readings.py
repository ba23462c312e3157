"""What is not a word, read aloud in each language's own way: case tables
per language and kind, one row per convention a slip would break. The
expected readings are written from each language's usage, not produced by
the code under test."""

from __future__ import annotations

import tomllib
from importlib.resources import files

import pytest

from vurel.text.conventions import ConventionsError, _build
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
    ("1990-95", "range", "nineteen ninety to ninety-five"),
    ("100-1000", "range", "one hundred to one thousand"),
    ("2.5 kg", "unit", "two point five kilograms"),
    # A unit or percent sign after a range is the unit of both numbers.
    ("10-12 km/h", "range", "ten to twelve kilometers per hour"),
    ("10–12 °C", "range", "ten to twelve degrees Celsius"),
    ("1-2km", "range", "one to two kilometers"),
    ("10-12%", "range", "ten to twelve percent"),
    # Digits joined by hyphens that are no range are read digit by digit.
    ("555-1234", "number", "five five five one two three four"),
    ("1-800-555-1234", "number", "one eight zero zero five five five one two three four"),
    ("030-1234", "number", "zero three zero one two three four"),
    ("12-05", "number", "one two zero five"),
    ("10-5", "number", "one zero five"),
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
    ("5-7 km", "range", "fünf bis sieben Kilometer"),
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


@pytest.mark.parametrize(("text", "spoken"), [
    ("Mr. Brown lives on Main St. He left.", "street"),  # after a name, though a capital follows
    ("I live on 42nd St. now", "street"),
    ("Main St. is closed", "street"),  # no name follows
    ("It is on Elm St.", "street"),
    ("St. Louis is big", "saint"),
    ("He met St. John", "saint"),
    ("Then St. Peter came", "saint"),  # a capital that starts the sentence is no street's name
])
def test_st_is_a_street_after_a_name_and_a_saint_before_one(text, spoken):
    (street,) = [words for kind, written, words in read("en", text) if written == "St."]
    assert street == spoken


@pytest.mark.parametrize(("text", "spoken"), [
    ("3. Platz", "dritter"),  # no article: the noun's gender (masculine)
    ("3. Mal", "drittes"),  # neuter
    ("3. Auflage", "dritte"),  # feminine, as the default
    ("der 3. Platz", "dritte"),  # the article comes before the noun's gender
    ("die 2. Auflage", "zweite"),
    ("im 3. Stock", "dritten"),  # the dative settles the case
    ("Zum 3. Mal", "dritten"),
    ("des 19. Jahrhunderts", "neunzehnten"),
])
def test_german_ordinal_takes_the_case_the_word_before_settles(text, spoken):
    (ordinal,) = [words for kind, written, words in read("de", text) if kind == "ordinal"]
    assert ordinal == spoken


def test_german_ordinal_period_only_before_a_word():
    assert read("de", "der 3. Platz")[1] == ("ordinal", "3.", "dritte")
    # At the end of a sentence the period is the sentence's.
    assert read("de", "Es waren 3.")[2:] == [("number", "3", "drei"), ("punctuation", ".", "")]


@pytest.mark.parametrize(("lang", "text", "expected"), [
    # A year word before the number: a year of any length, the period the sentence's.
    ("cs", "V roce 955. Pak", [("year", "955", "devět set padesát pět"), ("punctuation", ".", "")]),
    ("cs", "od roku 68. Potom", [("year", "68", "šedesát osm"), ("punctuation", ".", "")]),
    ("de", "im Jahr 955. Dann", [("year", "955", "neunhundertfünfundfünfzig"), ("punctuation", ".", "")]),
    ("de", "des Jahres 800. Dann", [("year", "800", "achthundert"), ("punctuation", ".", "")]),
    # Czech nouns are lower-case: between a word and a capital, the period ends a sentence.
    ("cs", "Bylo mi 20. Pak", [("number", "20", "dvacet"), ("punctuation", ".", "")]),
    # ... but not before a lower-case noun, nor as a list's number with no word before it.
    ("cs", "na 1. lékařské", [("ordinal", "1.", "první")]),
    ("cs", "1. Když", [("ordinal", "1.", "první")]),
    ("cs", "trpaslík: 2. Ozvěny", [("ordinal", "2.", "druhý")]),
    # German nouns are capitalised: the capital after the period says nothing.
    ("de", "der 2. Weltkrieg", [("ordinal", "2.", "zweite")]),
    ("de", "im 5. Jahr", [("ordinal", "5.", "fünften")]),
])
def test_a_number_before_a_period_is_an_ordinal_only_where_no_year_or_sentence_end_is_plain(lang, text, expected):
    found = read(lang, text)
    start = next(index for index, token in enumerate(found) if token[1][:1].isdigit())
    assert found[start:start + len(expected)] == expected


@pytest.mark.parametrize(("lang", "text", "ordinal", "spoken"), [
    ("cs", "3. místo", "3.", "třetí"),
    ("cs", "21. den", "21.", "dvacátý první"),
    ("cs", "100. výročí", "100.", "stý"),
    # Hundreds past the first are one word: dvoustý, not druhý stě.
    ("cs", "200. výročí", "200.", "dvoustý"),
    ("cs", "256. den", "256.", "dvoustý padesátý šestý"),
    ("cs", "999. den", "999.", "devítistý devadesátý devátý"),
    ("fa", "۳م", "۳م", "سوم"),
    ("fa", "۲۱ام", "۲۱ام", "بیست و یکم"),
    ("fa", "۳۰ام", "۳۰ام", "سی\u200cام"),
])
def test_ordinals_icu_lacks_come_from_the_cardinals_words(lang, text, ordinal, spoken):
    (kind, written, words), *_ = read(lang, text)
    assert (kind, written, words) == ("ordinal", ordinal, spoken)


def test_a_currency_symbol_after_an_amount_is_not_taken_from_the_next_amount():
    assert read("en", "-12 $0.05") == [("number", "-12", "minus twelve"), ("money", "$0.05", "five cents")]


OTHERS = [
    # French: 1er/1re/2e by gender, premier for the first day, 14h30, space-grouped numbers.
    ("fr", "1er", "ordinal", "premier"),
    ("fr", "1re", "ordinal", "première"),
    ("fr", "2e", "ordinal", "deuxième"),
    ("fr", "1er mai", "date", "premier mai"),
    ("fr", "9 déc. 2026", "date", "neuf décembre deux mille vingt-six"),
    ("fr", "14h30", "time", "quatorze heures trente"),
    ("fr", "4,50 €", "money", "quatre euros cinquante"),
    ("fr", "1 234,5", "number", "mille deux cent trente-quatre virgule cinq"),
    ("fr", "Mme", "abbreviation", "madame"),
    # Spanish: 1.º/1.ª, "de" in dates, "con" between euros and cents.
    ("es", "1.º", "ordinal", "primero"),
    ("es", "1.ª", "ordinal", "primera"),
    ("es", "9 de diciembre de 2026", "date", "nueve de diciembre de dos mil veintiséis"),
    ("es", "4,50 €", "money", "cuatro euros con cincuenta céntimos"),
    ("es", "Sra.", "abbreviation", "señora"),
    ("es", "nº", "abbreviation", "número"),
    # Italian, Portuguese, Catalan.
    ("it", "4,50 €", "money", "quattro euro e cinquanta centesimi"),
    ("it", "1º maggio", "date", "primo maggio"),
    ("pt", "R$ 4,50", "money", "quatro reais e cinquenta centavos"),
    ("pt", "1.ª", "ordinal", "primeira"),
    ("ca", "4t", "ordinal", "quart"),
    ("ca", "10:30", "time", "deu i trenta"),
    # Dutch and Swedish: years before 2000 in hundreds; Swedish 3:e and kronor.
    ("nl", "1990", "year", "negentiennegentig"),
    ("nl", "14.30 uur", "time", "veertien uur dertig"),
    ("sv", "3:e", "ordinal", "tredje"),
    ("sv", "4,50 kr", "money", "fyra kronor och femtio öre"),
    ("sv", "1990", "year", "nittonhundranittio"),
    # Russian: plurals by the last digits, the year of a date in the genitive.
    ("ru", "2 км", "unit", "два километра"),
    ("ru", "5 км", "unit", "пять километров"),
    ("ru", "21 км", "unit", "двадцать один километр"),
    ("ru", "9 декабря 2026 г.", "date", "девятое декабря две тысячи двадцать шестого года"),
    ("ru", "4,50 ₽", "money", "четыре рубля пятьдесят копеек"),
    ("ru", "1-я", "ordinal", "первая"),
    # Ranges: от, and both numbers and the unit in the genitive.
    ("ru", "5–7", "range", "от пяти до семи"),
    ("ru", "5-7 км", "range", "от пяти до семи километров"),
    ("ru", "1–2 км", "range", "от одного до двух километров"),
    # Czech: ordinals by a rule of ours (ICU has none), three plural forms.
    ("cs", "4,50 Kč", "money", "čtyři koruny padesát haléřů"),
    ("cs", "9. prosince 2026", "date", "devátého prosince dvě tisíce dvacet šest"),
    ("cs", "3. 12. 2026", "date", "třetího prosince dvě tisíce dvacet šest"),
    ("cs", "5 km", "unit", "pět kilometrů"),
    # A thousand is tisíc, not ICU's jedna tisíc; past a first word, ICU's words stand.
    ("cs", "1990", "year", "tisíc devět set devadesát"),
    ("cs", "1 000", "number", "tisíc"),
    ("cs", "21000", "number", "dvacet jedna tisíc"),
    # Persian: Persian digits and marks; ordinals by a rule of ours (سوم, دوازدهم).
    ("fa", "۱۲٫۵", "number", "دوازده ممیز پنج"),
    ("fa", "۵۰٪", "percent", "پنجاه درصد"),
    ("fa", "۱۴۰۲/۰۵/۱۲", "date", "دوازدهم مرداد یک هزار و چهارصد و دو"),
    # Arabic: Arabic-Indic digits, and Latin ones with a point.
    ("ar", "١٢٫٥", "number", "إثنا عشر فاصل خمسة"),
    ("ar", "$4.50", "money", "أربعة دولارات و خمسون سنتات"),
    # Swahili: the unit before the number.
    ("sw", "KSh 500", "money", "shilingi mia tano"),
    ("sw", "50%", "percent", "asilimia hamsini"),
    # Swahili hours count from 6 a.m. and 6 p.m.
    ("sw", "10:00", "time", "saa nne"),
    ("sw", "19:30", "time", "saa moja na dakika thelathini"),
    ("sw", "6:00", "time", "saa kumi na mbili"),
    ("sw", "0:00", "time", "saa sita"),
    # Luxembourgish.
    ("lb", "3. Oktober 1990", "date", "drëtten Oktober nonzénghonnertnonzeg"),
    ("lb", "14:30 Auer", "time", "véierzéng Auer drësseg"),
]


@pytest.mark.parametrize(("lang", "text", "kind", "spoken"), OTHERS)
def test_readings_of_the_other_languages(lang, text, kind, spoken):
    assert single(lang, text) == (kind, spoken)


@pytest.mark.parametrize("lang", ["ar", "ca", "cs", "de", "en", "es", "fa", "fr", "it", "lb", "nl", "pt", "ru",
                                  "sv", "sw"])
def test_every_language_reads_the_common_kinds(lang):
    """Each language's tables and ICU's rules agree: nothing raises, and
    every number-like token has words."""
    found = scanner(lang).scan("7 -3 50% 10-12 1/2 ½ 12:30 09.12.2026 " + "9" * 40)
    assert [token.kind for token in found] == ["number", "number", "percent", "range", "fraction",
                                               "fraction", "time", "date", "number"]
    assert all(token.words and all(token.words) for token in found)


@pytest.mark.parametrize(("table", "entry", "value", "named"), [
    ("ranges", "unit_form", "first", "ranges.unit_form"),
    ("times", "hours_from", 12, "times.hours_from"),
    ("times", "hours_from", "6", "times.hours_from"),
])
def test_a_malformed_reading_rule_in_a_language_file_is_named(table, entry, value, named):
    data = tomllib.loads((files("vurel.text") / "data" / "ru.toml").read_text(encoding="utf-8"))
    data.setdefault(table, {})[entry] = value
    with pytest.raises(ConventionsError, match=named):
        _build("ru", data, "data/ru.toml")
