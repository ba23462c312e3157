"""Text to tokens: UAX #29 word segments, then the language's readings.

`Scanner.scan` walks ICU's word-boundary segments (`_native.word_segments`)
and, where a segment can start something read as a whole (a date, an
amount, a time, an abbreviation), tries the language's patterns there,
longest reading first. What no pattern takes is a word, a number, a symbol
or punctuation. Every token keeps its span in the text; words of letters
are left for the pronouncing step, which knows the lexicon.
"""

from __future__ import annotations

import re
import unicodedata
from collections.abc import Callable

from vurel.text import tokens as kinds
from vurel.text.conventions import Conventions
from vurel.text.numbers import NumberReader, canonical, plural_form, replace_ending
from vurel.text.tokens import Token

# Text is segmented this many code points at a time (cut at white space), so
# that a very long line never holds all its segments at once.
_CHUNK = 1 << 16

_HYPHENS = "-\u2010"
_MINUS = "-\u2212"
_SENTENCE_ENDS = frozenset(".?!…。？！؟")
# Letters, marks, and the marks inside words (don't, e-mail, U.S, snake_case).
_NOT_SPELLING = re.compile(r"[^\w\u00b7'’.:\-\u2010]|[\d]")
_SURROGATE = re.compile("[\ud800-\udfff]")
_LETTERS = re.compile(r"[^\W\d_]+")
_INITIALS = re.compile(r"(?:[^\W\d_]\.)+[^\W\d_]")
_WORD_BEFORE = re.compile(r"(?<!\w)(\w+)\s+\Z")
_VULGAR_FRACTIONS = re.compile("[\u00bc-\u00be\u2150-\u215e]")

Reading = Callable[[re.Match], tuple[str, list[str]] | None]


def _alternation(texts, *, flexible_spaces: bool = False) -> str:
    """A regex matching any of ``texts``, longest first."""
    escaped = []
    for text in sorted(set(texts), key=len, reverse=True):
        pattern = re.escape(text)
        if flexible_spaces:
            pattern = pattern.replace(r"\ ", r"\s?")
        if text[-1:].isalnum():
            pattern += r"(?!\w)"
        escaped.append(pattern)
    return "|".join(escaped) or r"(?!x)x"


def _fill(template: str, values: dict[str, list[str]]) -> list[str]:
    """The template's words, each ``{name}`` replaced by its words (none
    for an empty or missing value)."""
    words: list[str] = []
    for part in template.split():
        if part.startswith("{") and part.endswith("}"):
            words += values.get(part[1:-1], [])
        else:
            words.append(part)
    return words


def _fraction_key(character: str) -> str:
    """``1/2`` for ``½``: the numerator and denominator its decomposition names."""
    parts = unicodedata.decomposition(character).split()
    return "".join(chr(int(code, 16)) for code in parts[1:]).replace("\u2044", "/")


class Scanner:
    """Tokens of texts in one language. Built once per language (its
    patterns are compiled from the language's data) and shared by threads."""

    def __init__(self, conventions: Conventions, numbers: NumberReader) -> None:
        from vurel import _native

        self._segments = _native.word_segments
        self.conventions = c = conventions
        self.numbers = numbers
        groups = list(c.groups)
        if " " in groups:
            groups += ["\u00a0", "\u202f"]
        grouped = rf"\d{{1,3}}(?:(?:{'|'.join(map(re.escape, groups))})\d{{3}})+(?!\d)|" if groups else ""
        self._group_marks = re.compile("|".join(map(re.escape, groups))) if groups else None
        decimal = "|".join(map(re.escape, c.decimal))
        self._decimal_marks = re.compile(decimal)
        number = rf"(?:{grouped}\d+)(?:(?:{decimal})\d+)?"
        signed = rf"(?:(?<![\w.,])[{_MINUS}])?{number}"
        month_names = {name.lower(): index + 1 for index, name in enumerate(c.months)}
        self._months = {**month_names, **{k.lower(): v for k, v in c.month_abbreviations.items()}}
        months = "|".join([_alternation(month_names), *(rf"{re.escape(a)}\.?(?!\w)"
                                                       for a in sorted(c.month_abbreviations, key=len, reverse=True))])
        suffixes = _alternation(c.ordinal_suffixes)
        joiner = rf"(?:\s+(?:{_alternation(c.date_joiners)}))?" if c.date_joiners else ""
        year_mark = rf"(?:\s?(?:{_alternation(c.date_year_markers)}))?" if c.date_year_markers else ""
        self._currencies = {}
        for currency in c.currencies:
            for name in (currency.code, *currency.symbols):
                self._currencies[name] = currency
        currency = _alternation(self._currencies)
        markers = _alternation(c.time_markers)
        separators = "|".join(map(re.escape, c.time_separators))
        units = _alternation(c.units)
        day_mark = rf"(?:\.|{suffixes})?" if c.ordinal_period else rf"(?:{suffixes})?"
        decade = rf"(?P<y>\d{{4}})'?{re.escape(c.decade_suffix)}(?!\w)" if c.decade_suffix else r"(?!x)x"
        # Readers tried where a segment of digits starts, in order: the
        # first whose pattern matches reads the token.
        self._after_digit: list[tuple[re.Pattern, Reading]] = [
            (re.compile(decade), self._decade),
            (re.compile(r"(?P<y>\d{4})(?P<s>[-/.])(?P<m>\d{1,2})(?P=s)(?P<d>\d{1,2})(?!\d)"), self._numeric_date),
            # 09.12.2026, 12/9/2026, and with a space after each period (3. 12. 2026).
            (re.compile(rf"(?P<a>\d{{1,2}})(?P<s>[./-])(?:(?<=\.) )?(?P<b>\d{{1,2}})(?P=s)(?:(?<=\.) )?"
                        rf"(?P<y>\d{{4}}|\d{{2}})(?![\d\w]){year_mark}"),
             self._numeric_date),
            (re.compile(rf"(?P<d>\d{{1,2}}){day_mark}{joiner}\s+(?P<month>{months})"
                        rf"(?:{joiner}\s+(?P<y>\d{{4}})(?![\d\w]){year_mark})?", re.IGNORECASE), self._named_date),
            (re.compile(rf"(?P<h>\d{{1,2}})(?:{separators})(?P<m>\d{{2}})(?![\d\w])(?:\s*(?P<mk>{markers}))?"),
             self._time),
            (re.compile(rf"(?P<h>\d{{1,2}})(?:\.(?P<m>\d{{2}}))?\s*(?P<mk>{markers})"), self._time),
            (re.compile(rf"(?P<n>\d+)(?P<sfx>{suffixes})"), self._ordinal),
            (re.compile(rf"(?P<n>{number})\s?(?P<cur>{currency})(?!\s?\d)"), self._money),
            (re.compile(rf"(?P<n>{number})\s?[%٪]"), self._percent),
            (re.compile(rf"(?P<n>{number})\s?(?P<unit>{units})(?![\w/])"), self._unit),
            # 1-800-555-1234: three or more groups of digits are a code or a phone number.
            (re.compile(r"\d+(?:-\d+){2,}(?![\d\w])"), self._digit_groups),
            # 10-12, 1990–2000, and with a unit or percent sign after the second number (10-12 km/h).
            (re.compile(rf"(?P<a>{number})(?:[-–—]|\s[-–—]\s)(?P<b>{number})"
                        rf"(?:\s?(?P<unit>{units})(?![\w/])|\s?(?P<percent>[%٪])|(?![\d\w]))"), self._range),
            (re.compile(r"(?P<a>\d+)/(?P<b>\d+)(?![\d/])"), self._fraction),
        ]
        if c.ordinal_period:
            # German 3. Oktober, Czech 3. místo: a period after a number, and a word after it.
            self._after_digit.append((re.compile(r"(?P<n>\d{1,3})\.(?=\s+(?P<noun>[^\W\d_]+))"),
                                      self._ordinal_before_noun))
        self._after_digit.append((re.compile(signed), self._number))
        self._before_amount = re.compile(rf"(?P<cur>{currency})\s?(?P<n>{number})")
        self._named_date_first = re.compile(
            rf"(?P<month>{months})\s+(?P<d>\d{{1,2}})(?:{suffixes})?(?![\d\w])(?:,?\s+(?P<y>\d{{4}})(?![\d\w]))?",
            re.IGNORECASE)
        abbreviations = {**c.abbreviations, **c.titles}
        # Looked up without their spaces: z. B. is also written z.B.
        self._abbreviations = {key.replace(" ", ""): spoken for key, spoken in abbreviations.items()}
        self._titles = frozenset(key.replace(" ", "") for key in c.titles)
        self._after_names = {key.replace(" ", ""): spoken for key, spoken in c.after_names.items()}
        self._abbreviation = re.compile(_alternation(abbreviations, flexible_spaces=True))
        self._abbreviation_starts = frozenset(re.split(r"[.\s]", key)[0] for key in abbreviations)
        # A currency written with letters (USD, R$, Kč) starts a segment of its letters.
        self._currency_words = frozenset(_LETTERS.match(name).group() for name in self._currencies
                                         if _LETTERS.match(name))
        self._symbol_starts = frozenset(symbol[0] for symbol in self._currencies if not symbol[0].isalnum())

    # Scanning -------------------------------------------------------------------------------

    def scan(self, text: str) -> list[Token]:
        """The tokens of ``text``, in order; white space and control
        characters are not tokens. Never raises for any str."""
        found: list[Token] = []
        start = 0
        while start < len(text):
            end = min(len(text), start + _CHUNK)
            if end < len(text):
                cut = max(text.rfind(" ", start, end), text.rfind("\n", start, end))
                end = cut + 1 if cut > start else end
            self._scan_chunk(text, start, end, found)
            start = end
        self._read_after_names(found)
        self._mark_sentence_ends(found)
        return found

    def _scan_chunk(self, text: str, offset: int, limit: int, found: list[Token]) -> None:
        chunk = text[offset:limit]
        try:
            segments = self._segments(chunk)
        except UnicodeEncodeError:
            # Lone surrogates (from bytes decoded with surrogateescape) are
            # not text to ICU: it segments a copy with U+FFFD in their place,
            # one code point for one, and they are read as symbols.
            segments = self._segments(_SURROGATE.sub("\ufffd", chunk))
        position = offset
        for start, end, _ in segments:
            start += offset
            end += offset
            if end <= position:
                continue
            # A reading may end inside a segment (3D): the rest is read on its own.
            while position < end:
                position = self._take(text, max(start, position), end, limit, found)

    def _take(self, text: str, start: int, end: int, limit: int, found: list[Token]) -> int:
        """Reads what starts at ``start`` in the segment ``[start, end)``;
        returns where reading goes on."""
        first = text[start]
        if first.isdigit():
            for pattern, reading in self._after_digit:
                match = pattern.match(text, start, limit)
                if match is not None:
                    made = reading(match)
                    if made is not None:
                        found.append(Token(match.group(), start, match.end(), made[0], made[1]))
                        return match.end()
        if first.isalpha():
            # What ICU keeps in a word but is not spelling (digits in MP3, the @ of an
            # address) is read on its own after the letters.
            other = _NOT_SPELLING.search(text, start, end)
            return self._take_letters(text, start, other.start() if other else end, limit, found)
        if first in self._symbol_starts:
            match = self._before_amount.match(text, start, limit)
            if match is not None:
                found.append(Token(match.group(), start, match.end(), kinds.MONEY, self._amount(match)))
                return match.end()
        if first in _MINUS and start + 1 < limit and text[start + 1].isdigit() and \
                (start == 0 or not text[start - 1].isalnum()):
            signed = self._signed_reading(text, start, limit)
            if signed is not None:
                found.append(signed)
                return signed.end
        if first.isdigit():
            # Digits in a segment of letters that no reading takes (3D).
            match = re.match(r"\d+", text[start:end])
            stop = start + (match.end() if match else 1)
            found.append(Token(text[start:stop], start, stop, kinds.NUMBER, self.numbers.cardinal(text[start:stop])))
            return stop
        return self._take_other(text, start, end, found)

    def _signed_reading(self, text: str, start: int, limit: int) -> Token | None:
        """A negative number, or an amount, percentage or measure of one
        (-5 °C): the reading of what follows the minus sign, after "minus"."""
        for pattern, reading in self._after_digit:
            match = pattern.match(text, start + 1, limit)
            if match is None:
                continue
            made = reading(match)
            if made is None:
                continue
            kind, words = made
            if kind not in (kinds.NUMBER, kinds.YEAR, kinds.UNIT, kinds.PERCENT, kinds.MONEY):
                return None
            if kind == kinds.YEAR:
                kind, words = kinds.NUMBER, self.numbers.cardinal(self._plain_number(match.group()))
            minus = self.conventions.words["minus"].split()
            return Token(text[start:match.end()], start, match.end(), kind, minus + words)
        return None

    def _take_letters(self, text: str, start: int, end: int, limit: int, found: list[Token]) -> int:
        word = text[start:end]
        if word.lower() in self._months:
            match = self._named_date_first.match(text, start, limit)
            made = self._named_date(match) if match is not None else None
            if made is not None:
                found.append(Token(match.group(), start, match.end(), made[0], made[1]))
                return match.end()
        if word.split(".", 1)[0] in self._abbreviation_starts:
            match = self._abbreviation.match(text, start, limit)
            if match is not None:
                key = re.sub(r"\s+", "", match.group())
                token = Token(match.group(), start, match.end(), kinds.ABBREVIATION,
                              self._abbreviations[key].split())
                token.sentence_end = key not in self._titles  # provisional: see _mark_sentence_ends
                found.append(token)
                return match.end()
        if word in self._currency_words:
            match = self._before_amount.match(text, start, limit)
            if match is not None:
                found.append(Token(match.group(), start, match.end(), kinds.MONEY, self._amount(match)))
                return match.end()
        # Words joined by hyphens (e-mail, state-of-the-art) are one token;
        # the pronouncing step splits those the lexicon lacks.
        stop = end
        while stop + 1 < limit and text[stop] in _HYPHENS and text[stop + 1].isalpha():
            follow = stop + 1
            while follow < limit and (text[follow].isalpha() or text[follow] in "'’" and follow + 1 < limit
                                      and text[follow + 1].isalpha()):
                follow += 1
            stop = follow
        word = text[start:stop]
        if _INITIALS.fullmatch(word):
            # U.S., A.B.: letters with periods, the last period with them.
            if stop < limit and text[stop] == ".":
                stop += 1
            token = Token(text[start:stop], start, stop, kinds.ACRONYM, [text[start:stop]])
            token.sentence_end = text[stop - 1] == "."  # provisional: see _mark_sentence_ends
            found.append(token)
            return stop
        kind = kinds.ACRONYM if len(word) > 1 and word.isupper() and word.isalpha() else kinds.WORD
        found.append(Token(word, start, stop, kind, [word]))
        return stop

    def _take_other(self, text: str, start: int, end: int, found: list[Token]) -> int:
        """Punctuation (runs of it are one token), symbols with a reading,
        and anything else dropped with a note, up to the next letter or
        digit; white space and control characters make no token. Returns
        where reading goes on."""
        index = start
        while index < end:
            character = text[index]
            if index > start and character.isalnum():
                return index
            category = unicodedata.category(character)
            if character.isspace() or category in ("Cc", "Cf"):
                index += 1
                continue
            spoken = self.conventions.symbols.get(character)
            if spoken is not None:
                found.append(Token(character, index, index + 1, kinds.SYMBOL, spoken.split()))
                index += 1
                continue
            if category[0] == "P":
                stop = index + 1
                while stop < end and unicodedata.category(text[stop])[0] == "P" and \
                        text[stop] not in self.conventions.symbols:
                    stop += 1
                found.append(Token(text[index:stop], index, stop, kinds.PUNCTUATION))
                index = stop
                continue
            if _VULGAR_FRACTIONS.match(character):
                key = _fraction_key(character)
                numerator, _, denominator = key.partition("/")
                found.append(Token(character, index, index + 1, kinds.FRACTION,
                                   self._fraction_words(key, numerator, denominator)))
                index += 1
                continue
            # An emoji or other symbol: the rest of the segment goes with it
            # (its modifiers and joiners), dropped with a note.
            stop = index + 1
            while stop < end and not text[stop].isspace() and unicodedata.category(text[stop])[0] in "SMC":
                stop += 1
            found.append(Token(text[index:stop], index, stop, kinds.SYMBOL, [],
                               problem=f"{kinds.DROPPED}: no reading for {text[index:stop]!r}"))
            index = stop
        return end

    def _read_after_names(self, found: list[Token]) -> None:
        """Reads a title as part of the name before it (Main St.: street)
        where that name is plain: an ordinal or a capitalised word not at
        the start of a sentence stands before it, or no name follows it.
        Read so, it is no title, and its period may end the sentence."""
        if not self._after_names:
            return
        for index, token in enumerate(found):
            spoken = self._after_names.get(token.text.replace(" ", "")) \
                if token.kind == kinds.ABBREVIATION else None
            if spoken is None:
                continue
            before = found[index - 1] if index else None
            following = found[index + 1] if index + 1 < len(found) else None
            name_before = before is not None and before.end < token.start and (
                before.kind == kinds.ORDINAL or before.kind == kinds.WORD and before.text[:1].isupper()
                and index >= 2 and found[index - 2].kind != kinds.PUNCTUATION)
            name_after = following is not None and following.kind == kinds.WORD and following.text[:1].isupper()
            if name_before or not name_after:
                token.words = spoken.split()
                token.sentence_end = True  # provisional: see _mark_sentence_ends

    def _mark_sentence_ends(self, found: list[Token]) -> None:
        """A token of punctuation holding a period, question or exclamation
        mark ends a sentence; so does an abbreviation's period (not a
        title's) when what follows starts a sentence or nothing follows."""
        for index, token in enumerate(found):
            if token.kind == kinds.PUNCTUATION:
                token.sentence_end = not _SENTENCE_ENDS.isdisjoint(token.text)
            elif token.kind in (kinds.ABBREVIATION, kinds.ACRONYM) and token.sentence_end:
                following = found[index + 1] if index + 1 < len(found) else None
                token.sentence_end = token.text.endswith(".") and (
                    following is None or following.text[:1].isupper() and following.kind != kinds.PUNCTUATION)
        if found and found[-1].kind != kinds.PUNCTUATION:
            found[-1].sentence_end = True

    # Readings ----------------------------------------------------------------------------

    def _plain_number(self, written: str) -> str:
        """A written number in the form the speller takes: ``-1234.5``."""
        text = written.replace("\u2212", "-")
        if self._group_marks is not None:
            text = self._group_marks.sub("", text)
        text = self._decimal_marks.sub(".", text)
        return canonical(text)

    def _is_year(self, digits: str) -> bool:
        low, high = self.conventions.years
        return len(digits) == 4 and digits.isdigit() and low <= int(canonical(digits)) <= high

    def _word_before(self, match: re.Match) -> str:
        """The word just before the match, lower-cased; "" where white
        space and a word do not come before it."""
        before = _WORD_BEFORE.search(match.string, max(0, match.start() - 32), match.start())
        return before.group(1).lower() if before else ""

    def _number(self, match: re.Match) -> tuple[str, list[str]]:
        written = match.group()
        if self._is_year(written) or written.isdigit() and len(written) <= 4 \
                and self._word_before(match) in self.conventions.year_words:
            return kinds.YEAR, self.numbers.year(written)
        return kinds.NUMBER, self.numbers.cardinal(self._plain_number(written))

    def _ordinal(self, match: re.Match) -> tuple[str, list[str]]:
        suffix = match.groupdict().get("sfx")
        rule_set = self.conventions.ordinal_suffixes.get(suffix, "") if suffix else ""
        return kinds.ORDINAL, self.numbers.ordinal(match.group("n"), rule_set)

    def _ordinal_before_noun(self, match: re.Match) -> tuple[str, list[str]] | None:
        """An ordinal written with a period (der 3. Platz), in the form the
        word before it asks for (im 3. Stock: dritten); with no such word,
        the form the noun after it asks for (3. Platz: dritter); else the
        default. None where the period ends a sentence instead: after a
        word that makes the number a year, or before a capital where an
        ordinal's noun would be lower-case."""
        c = self.conventions
        word = self._word_before(match)
        if word in c.year_words or c.ordinal_before_lowercase and word and match.group("noun")[0].isupper():
            return None
        rule_set = c.ordinal_after[word] if word in c.ordinal_after \
            else c.ordinal_nouns.get(match.group("noun").lower(), "")
        return kinds.ORDINAL, self.numbers.ordinal(match.group("n"), rule_set)

    def _decade(self, match: re.Match) -> tuple[str, list[str]] | None:
        if not self._is_year(match.group("y")):
            return None
        return kinds.DECADE, self.numbers.decade(match.group("y"))

    def _date_words(self, day: str, month: int, year: str | None) -> tuple[str, list[str]] | None:
        c = self.conventions
        if not 1 <= month <= 12 or not 1 <= int(canonical(day)) <= 31:
            return None
        if int(canonical(day)) == 1 and c.date_first_day:
            day_words = c.date_first_day.split()
        elif c.date_day == "cardinal":
            day_words = self.numbers.cardinal(str(int(canonical(day))))
        else:
            day_words = self.numbers.ordinal(str(int(canonical(day))), "" if c.date_day == "ordinal" else c.date_day)
        if c.date_day_endings:
            day_words = [replace_ending(word, c.date_day_endings) for word in day_words]
        values = {"day": day_words, "month": c.months[month - 1].split()}
        if year is None:
            return kinds.DATE, _fill(c.date_without_year, values)
        values["year"] = self.numbers.year(year, c.date_year) if len(year) == 4 else self.numbers.cardinal(year)
        return kinds.DATE, _fill(c.date_spoken, values)

    def _numeric_date(self, match: re.Match) -> tuple[str, list[str]] | None:
        groups = match.groupdict()
        if "a" in groups:
            first, second = int(groups["a"]), int(groups["b"])
            day, month = (second, first) if self.conventions.date_order.index("m") < \
                self.conventions.date_order.index("d") else (first, second)
        else:
            day, month = int(groups["d"]), int(groups["m"])
        return self._date_words(str(day), month, groups["y"])

    def _named_date(self, match: re.Match) -> tuple[str, list[str]] | None:
        month = self._months.get(match.group("month").rstrip(".").lower())
        if month is None:
            return None
        return self._date_words(match.group("d"), month, match.group("y"))

    def _time(self, match: re.Match) -> tuple[str, list[str]] | None:
        c = self.conventions
        hours, minutes = int(match.group("h")), int(match.group("m") or 0)
        if hours > 24 or minutes > 59:
            return None
        marker = match.group("mk")
        if c.time_hours_from:
            # Hours counted from the morning's and the evening's hour (Swahili
            # 10:00 is saa nne, the fourth hour after 6): 1 to 12.
            hours = (hours - c.time_hours_from - 1) % 12 + 1
        values = {"hours": self.numbers.cardinal(str(hours), c.time_hours),
                  "marker": c.time_markers.get(marker, "").split() if marker else []}
        if minutes == 0:
            template = c.time_on_the_hour_marked if marker else c.time_on_the_hour
        else:
            template = c.time_spoken
            minute_words = self.numbers.cardinal(str(minutes))
            values["minutes"] = _fill(c.minute_under_ten, {"minutes": minute_words}) if minutes < 10 \
                else minute_words
        return kinds.TIME, _fill(template, values)

    def _amount(self, match: re.Match) -> list[str]:
        c = self.conventions
        currency = self._currencies[match.group("cur")]
        number = self._plain_number(match.group("n"))
        integer, _, fraction = number.partition(".")
        major_count = self.numbers.count(integer)
        values = {"major": self.numbers.cardinal(integer, c.money_number),
                  "major_unit": plural_form(c.plural, major_count, currency.major).split()}
        if len(fraction) > 2:
            values = {"major": self.numbers.cardinal(number),
                      "major_unit": plural_form(c.plural, None, currency.major).split()}
            return _fill(c.money_major_only, values)
        cents = int(fraction.ljust(2, "0")) if fraction else 0
        if not cents:
            return _fill(c.money_major_only, values)
        values["minor"] = self.numbers.cardinal(str(cents), c.money_minor_number)
        values["minor_unit"] = plural_form(c.plural, cents, currency.minor).split()
        if integer.strip("0") == "":
            return _fill(c.words.get("money_minor_only", "{minor} {minor_unit}"), values)
        return _fill(c.money_spoken, values)

    def _money(self, match: re.Match) -> tuple[str, list[str]]:
        return kinds.MONEY, self._amount(match)

    def _percent(self, match: re.Match) -> tuple[str, list[str]]:
        number = self.numbers.cardinal(self._plain_number(match.group("n")))
        return kinds.PERCENT, _fill(self.conventions.words["measure"], {
            "number": number, "unit": self.conventions.words["percent"].split()})

    def _unit(self, match: re.Match) -> tuple[str, list[str]]:
        number = self._plain_number(match.group("n"))
        forms = self.conventions.units[match.group("unit")]
        name = plural_form(self.conventions.plural, self.numbers.count(number), forms)
        return kinds.UNIT, _fill(self.conventions.words["measure"], {
            "number": self.numbers.cardinal(number), "unit": name.split()})

    def _digit_groups(self, match: re.Match) -> tuple[str, list[str]]:
        """Groups of digits joined by dashes, each digit on its own."""
        return kinds.NUMBER, [word for group in re.split(r"[-–—\s]+", match.group()) if group
                              for word in self.numbers.digits(group)]

    def _plausible_range(self, first: str, second: str) -> bool:
        """Whether ``first-second`` reads as a range: no leading zeros, and
        the second number larger, or a year's last digits (1990-95).
        Numbers written with marks are taken for amounts, hence ranges."""
        if not (first.isdigit() and second.isdigit()):
            return True
        if any(len(number) > 1 and number[0] == "0" for number in (first, second)):
            return False
        if len(first) == 3 and len(second) == 4 and not (first.endswith("0") and second.endswith("0")):
            return False  # 555-1234 is a phone number; 100-1000 and 250-1500 are ranges
        if self._is_year(first) and len(second) == 2:
            return True
        return int(canonical(second)) > int(canonical(first))

    def _range(self, match: re.Match) -> tuple[str, list[str]]:
        first, second = match.group("a"), match.group("b")
        unit, percent = match.group("unit"), match.group("percent")
        if not (unit or percent) and not self._plausible_range(first, second):
            # 555-1234 is a phone number, 030-1234 a code: digit by digit, in groups.
            return self._digit_groups(match)
        c = self.conventions
        # Years are read as years where the language has a rule for them;
        # other numbers in the case the range puts them in (Russian от пяти до семи).
        as_year = c.year not in ("", "cardinal")
        if as_year and self._is_year(first) and self._is_year(second):
            words = self.numbers.year(first), self.numbers.year(second)
        elif as_year and self._is_year(first) and len(second) == 2:
            words = self.numbers.year(first), self.numbers.cardinal(second)
        else:
            words = (self.numbers.cardinal(self._plain_number(first), c.range_number),
                     self.numbers.cardinal(self._plain_number(second), c.range_number))
        spoken = _fill(c.range_spoken, {"first": words[0], "second": words[1]})
        if not (unit or percent):
            return kinds.RANGE, spoken
        if percent:
            name = c.words["percent"]
        elif c.range_unit_form == "last":
            name = c.units[unit][-1]
        else:
            # The unit agrees with the second number: one to two kilometers.
            name = plural_form(c.plural, self.numbers.count(self._plain_number(second)), c.units[unit])
        return kinds.RANGE, _fill(c.words["measure"], {"number": spoken, "unit": name.split()})

    def _fraction_words(self, key: str, numerator: str, denominator: str) -> list[str]:
        spoken = self.conventions.fractions.get(key)
        if spoken is not None:
            return spoken.split()
        return _fill(self.conventions.words["fraction"], {"numerator": self.numbers.cardinal(numerator or "1"),
                                                          "denominator": self.numbers.cardinal(denominator)})

    def _fraction(self, match: re.Match) -> tuple[str, list[str]] | None:
        numerator, denominator = match.group("a"), match.group("b")
        if int(canonical(denominator[:6])) == 0:
            return None
        return kinds.FRACTION, self._fraction_words(f"{numerator}/{denominator}", numerator, denominator)
