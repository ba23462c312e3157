"""ARPAbet to IPA: the symbol table, reduced vowels and stress placement."""

import pytest

from vurel.ipa import arpabet_to_ipa, syllable_starts, unknown_phonemes


@pytest.mark.parametrize(
    ("arpabet", "expected"),
    [
        # The stressed syllable's mark goes before its onset, not its vowel.
        ("HH AH0 L OW1", "həˈloʊ"),
        ("AH0 B AW1 T", "əˈbaʊt"),
        ("B IH0 G IH1 N", "bɪˈɡɪn"),
        # Maximal onset: S T R may begin a syllable, so all three move right.
        ("IH0 K S T R IY1 M", "ɪkˈstɹim"),
        # T L cannot begin an English syllable: T stays behind.
        ("AE1 T L AE2 N T IH0 K", "ˈætˌlæntɪk"),
        # NG never begins a syllable.
        ("HH AE1 NG OW2 V ER0", "ˈhæŋˌoʊvɚ"),
        ("IH2 N F ER0 M EY1 SH AH0 N", "ˌɪnfɚˈmeɪʃən"),
        # AH and ER are reduced only when unstressed.
        ("B AH1 T ER0", "ˈbʌtɚ"),
        ("B ER1 D", "ˈbɝd"),
        ("CH AH1 JH", "ˈtʃʌdʒ"),
        ("TH IH1 NG Z", "ˈθɪŋz"),
        ("DH AH0", "ðə"),
        ("Y UW1 ZH AH0 W AH0 L", "ˈjuʒəwəl"),
        # Case of the symbols does not matter.
        ("hh ah0 l ow1", "həˈloʊ"),
        # No vowel: no syllable break, no mark.
        ("S T", "st"),
        ("", ""),
    ],
)
def test_arpabet_to_ipa(arpabet, expected):
    assert arpabet_to_ipa(arpabet.split()) == expected


def test_unknown_symbols_are_copied_and_listed():
    phonemes = ["XX", "AA1", "T", "XX", "QQ0"]
    assert arpabet_to_ipa(phonemes) == "ˈXXɑtXXQQ0"
    assert unknown_phonemes(phonemes) == ["XX", "QQ0"]


def test_syllable_starts_split_consonants_by_legal_onsets():
    # EH1 K | S T R AH0: "kstr" is no onset, "str" is.
    assert syllable_starts("EH1 K S T R AH0".split()) == [0, 2]
    # Two vowels side by side: the second syllable starts at its vowel.
    assert syllable_starts("P OY1 IH0 NG".split()) == [0, 2]
    assert syllable_starts("EH1 N M P AH0".split()) == [0, 3]
