"""Numbers read aloud: cardinals, ordinals, years and long digit strings.

Every number word comes from ICU's CLDR spell-out (`vurel._native.NumberSpeller`);
what ICU lacks is a rule of the language's data: ordinals made from the
cardinal's words (Czech, Persian) and plurals of a year (the 1990s). Words
keep ICU's soft hyphens (U+00AD) between the parts of a compound, which tell
the pronouncing step where the compound may be split.
"""

from __future__ import annotations

import unicodedata

from vurel.text.conventions import NUMBERING, Conventions, ConventionsError

SOFT_HYPHEN = "\u00ad"

# Past this many digits before the point, a number is read in groups of
# three digits: "a number" that long is an identifier more often than an
# amount, and ICU's rules stop spelling near 10**18.
MAX_SPELLED_DIGITS = 15
GROUP = 3


def canonical(digits: str) -> str:
    """ASCII digits for any decimal digits (``١٢`` is ``12``)."""
    if digits.isascii():
        return digits
    return "".join(str(unicodedata.digit(c)) if c.isdigit() else c for c in digits)


def plural_form(rule: str, count: int | None, forms: tuple[str, ...]) -> str:
    """The form of a noun after ``count`` (None: a number with a fraction),
    by the language's plural rule: ``forms`` is (one, other) or, for the
    Slavic rules, (one, few, many)."""
    if rule in ("slavic", "czech") and len(forms) == 3:
        if count is None:
            return forms[1]
        if rule == "czech":
            return forms[0] if count == 1 else forms[1] if 2 <= count <= 4 else forms[2]
        if count % 10 == 1 and count % 100 != 11:
            return forms[0]
        if 2 <= count % 10 <= 4 and not 12 <= count % 100 <= 14:
            return forms[1]
        return forms[2]
    singular = count == 1 or (rule == "one-zero" and count == 0)
    return forms[0] if singular else forms[-1]


def _words(text: str) -> list[str]:
    """ICU's text as words: split at spaces, without the commas some
    languages put between groups (Swahili's ``elfu moja, mia``)."""
    return [word.strip(",") for word in text.split() if word.strip(",")]


def replace_ending(word: str, endings: tuple[tuple[str, str], ...]) -> str:
    """``word`` with the first of ``endings`` it ends in replaced."""
    for ending, replacement in endings:
        if word.endswith(ending):
            return word[: len(word) - len(ending)] + replacement
    return word


class NumberReader:
    """Reads numbers in one language. Built once per language and shared:
    its `NumberSpeller` locks ICU's formatter for each call. Raises ConventionsError when the
    data names a rule set ICU does not have for the language."""

    def __init__(self, conventions: Conventions) -> None:
        from vurel import _native

        self.conventions = conventions
        self._speller = _native.NumberSpeller(conventions.locale)
        rule_sets = set(self._speller.rule_sets)
        named = {conventions.ordinal, conventions.year, conventions.date_day, conventions.date_year,
                 conventions.time_hours, conventions.money_number, conventions.money_minor_number,
                 conventions.range_number, *conventions.ordinal_suffixes.values(),
                 *conventions.ordinal_after.values(), *conventions.ordinal_nouns.values()} - {"", "cardinal", "ordinal"}
        unknown = sorted(named - rule_sets)
        if unknown:
            raise ConventionsError(f"data/{conventions.code}.toml: ICU has no {', '.join(unknown)} "
                                   f"for {conventions.locale}")

    def _spell(self, number: str, rule_set: str) -> list[str] | None:
        text = self._speller.spell(number, rule_set)
        # Past its rules' range ICU writes digits instead of words.
        if any(c.isdigit() for c in text):
            return None
        for start, said in self.conventions.spelled_starts.items():
            if text.startswith(start + " ") or text == start:
                text = said + text[len(start):]
                break
        return _words(text)

    def cardinal(self, number: str, rule_set: str = NUMBERING) -> list[str]:
        """``number`` (``-?digits(.digits)?``, any decimal digits) in words.
        A number with a leading zero (``007``) is read digit by digit, and
        one longer than MAX_SPELLED_DIGITS in groups of three digits."""
        number = canonical(number)
        negative = number.startswith("-")
        integer, _, fraction = number.lstrip("-").partition(".")
        if len(integer) <= MAX_SPELLED_DIGITS and not (len(integer) > 1 and integer[0] == "0"):
            spelled = self._spell(number, rule_set)
            if spelled is not None:
                return spelled
        words = [self.conventions.words["minus"]] if negative else []
        words += self.digit_groups(integer)
        if fraction:
            words += [self.conventions.words["point"], *self.digits(fraction)]
        return words

    def digits(self, digits: str) -> list[str]:
        """Each digit on its own."""
        return [word for digit in canonical(digits) for word in self._spell(digit, NUMBERING) or ()]

    def digit_groups(self, digits: str) -> list[str]:
        """Groups of three digits from the left, each read as a number; a
        group's leading zeros are read as zeros (``012`` is zero twelve)."""
        words: list[str] = []
        digits = canonical(digits)
        for start in range(0, len(digits), GROUP):
            group = digits[start:start + GROUP]
            zeros = len(group) - len(group.lstrip("0"))
            if zeros == len(group):
                words += self.digits(group)
                continue
            words += self.digits(group[:zeros])
            words += self._spell(group[zeros:], NUMBERING) or self.digits(group[zeros:])
        return words

    def ordinal(self, number: str, rule_set: str = "") -> list[str]:
        """The ordinal of a whole number, with ``rule_set`` (for a gender or
        case) or the language's default; where ICU has none, the data's
        rule turns the cardinal's words into ordinal ones."""
        number = canonical(number)
        rule_set = rule_set or self.conventions.ordinal
        if len(number) <= MAX_SPELLED_DIGITS and rule_set:
            spelled = self._spell(number, rule_set)
            if spelled is not None:
                return spelled
        words = self.cardinal(number)
        if self.conventions.ordinal_words:
            words = self._ordinal_words(words)
        if self.conventions.ordinal_ending and words:
            words[-1] = replace_ending(words[-1], self.conventions.ordinal_ending)
        return words

    def _ordinal_words(self, words: list[str]) -> list[str]:
        """A cardinal's words made ordinal by the data's table, where a pair
        of words may make one (Czech dvě stě: dvoustý) before each word
        makes its own."""
        table = self.conventions.ordinal_words
        made: list[str] = []
        index = 0
        while index < len(words):
            pair = " ".join(words[index:index + 2])
            if index + 1 < len(words) and pair in table:
                made.append(table[pair])
                index += 2
            else:
                made.append(table.get(words[index], words[index]))
                index += 1
        return made

    def year(self, number: str, rule_set: str = "") -> list[str]:
        """A year as the language reads years."""
        rule_set = rule_set or self.conventions.year
        if rule_set == "ordinal":
            return self.ordinal(number)
        if rule_set and rule_set != "cardinal":
            spelled = self._spell(canonical(number), rule_set)
            if spelled is not None:
                return spelled
        return self.cardinal(number)

    def decade(self, number: str) -> list[str]:
        """A decade such as the 1990s: the year with its last word in the plural."""
        words = self.year(number)
        last = words[-1].split(SOFT_HYPHEN)
        last[-1] = replace_ending(last[-1], self.conventions.plural_ending)
        words[-1] = SOFT_HYPHEN.join(last)
        return words

    def count(self, number: str) -> int | None:
        """The whole number ``number`` stands for, for choosing a noun's
        plural; None for a number with a fraction."""
        integer, _, fraction = canonical(number).lstrip("-").partition(".")
        if fraction.strip("0"):
            return None
        if len(integer) > MAX_SPELLED_DIGITS:
            # Plural rules look at the last two digits at most; int() of a
            # very long string is refused.
            return 10 ** MAX_SPELLED_DIGITS + int(integer[-2:])
        return int(integer or "0")
