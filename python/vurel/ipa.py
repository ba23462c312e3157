"""ARPAbet to IPA, with stress marks placed before the stressed syllable.

ARPAbet marks stress on the vowel (``AH0``, ``OW1``, ``EY2``); IPA marks it
before the syllable that carries it (``HH AH0 L OW1`` is ``həˈloʊ``). To find
where that syllable starts, the consonants between two vowels are split by the
maximal onset principle: the next syllable takes the longest run of those
consonants that can begin an English word (``EH1 K S T R AH0`` splits as
``ɛk.stɹə``), and the rest closes the previous syllable. Word-initial
consonants always belong to the first syllable. Stress digits 1 and 2 become
``ˈ`` and ``ˌ``; 0 or no digit adds no mark. Monosyllables keep their mark, as
ARPAbet states it.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence

PRIMARY_STRESS = "\u02c8"
SECONDARY_STRESS = "\u02cc"

# The usual ARPAbet-to-IPA table (General American), with the extended
# symbols of TIMIT-style sets. AH and ER have reduced forms when unstressed.
VOWELS: dict[str, str] = {
    "AA": "ɑ", "AE": "æ", "AH": "ʌ", "AO": "ɔ", "AW": "aʊ", "AX": "ə",
    "AXR": "ɚ", "AY": "aɪ", "EH": "ɛ", "ER": "ɝ", "EY": "eɪ", "IH": "ɪ",
    "IX": "ɨ", "IY": "i", "OW": "oʊ", "OY": "ɔɪ", "UH": "ʊ", "UW": "u",
    "UX": "ʉ",
}
UNSTRESSED_VOWELS: dict[str, str] = {"AH": "ə", "ER": "ɚ"}
CONSONANTS: dict[str, str] = {
    "B": "b", "CH": "tʃ", "D": "d", "DH": "ð", "DX": "ɾ", "EL": "l̩",
    "EM": "m̩", "EN": "n̩", "F": "f", "G": "ɡ", "HH": "h", "H": "h",
    "JH": "dʒ", "K": "k", "L": "l", "M": "m", "N": "n", "NG": "ŋ",
    "NX": "ɾ̃", "P": "p", "Q": "ʔ", "R": "ɹ", "S": "s", "SH": "ʃ", "T": "t",
    "TH": "θ", "V": "v", "W": "w", "WH": "ʍ", "Y": "j", "Z": "z", "ZH": "ʒ",
}
# Syllabic consonants form a syllable of their own, like vowels.
SYLLABIC = frozenset({"EL", "EM", "EN"})

# Onsets that begin English words. NG never starts one; ZH does only in loans
# ("genre") and is allowed alone.
_SINGLE_ONSETS = frozenset(CONSONANTS) - {"NG", "EL", "EM", "EN"}
_CLUSTER_ONSETS = frozenset(
    tuple(onset.split())
    for onset in (
        "P L", "P R", "B L", "B R", "T R", "D R", "K L", "K R", "G L", "G R",
        "F L", "F R", "TH R", "SH R", "T W", "D W", "K W", "G W", "TH W",
        "S W", "S P", "S T", "S K", "S M", "S N", "S L", "S F",
        "P Y", "B Y", "K Y", "G Y", "M Y", "F Y", "V Y", "HH Y", "H Y",
        "S P L", "S P R", "S T R", "S K R", "S K W", "S K L", "S P Y", "S K Y",
    )
)


def is_legal_onset(consonants: Sequence[str]) -> bool:
    if not consonants:
        return True
    if len(consonants) == 1:
        return consonants[0] in _SINGLE_ONSETS
    return tuple(consonants) in _CLUSTER_ONSETS


def split_phoneme(phoneme: str) -> tuple[str, str]:
    """Splits ``"AH0"`` into ``("AH", "0")``; the stress part may be empty."""
    base = phoneme.upper()
    if base and base[-1] in "012" and base[:-1] in VOWELS:
        return base[:-1], base[-1]
    return base, ""


def _is_nucleus(base: str) -> bool:
    return base in VOWELS or base in SYLLABIC


def syllable_starts(phonemes: Sequence[str]) -> list[int]:
    """The index at which each syllable starts, by maximal onset.

    A word without a vowel is one syllable starting at 0.
    """
    bases = [split_phoneme(p)[0] for p in phonemes]
    nuclei = [i for i, base in enumerate(bases) if _is_nucleus(base)]
    if not nuclei:
        return [0]
    starts = [0]
    for previous, current in zip(nuclei, nuclei[1:]):
        between = bases[previous + 1 : current]
        onset = len(between)
        while onset > 0 and not is_legal_onset(between[len(between) - onset :]):
            onset -= 1
        starts.append(current - onset)
    return starts


def phoneme_to_ipa(phoneme: str) -> str | None:
    """The IPA of one ARPAbet phoneme without stress mark, or None if unknown."""
    base, stress = split_phoneme(phoneme)
    if base in VOWELS:
        if stress == "0" and base in UNSTRESSED_VOWELS:
            return UNSTRESSED_VOWELS[base]
        return VOWELS[base]
    return CONSONANTS.get(base)


def unknown_phonemes(phonemes: Iterable[str]) -> list[str]:
    """The phonemes that the table does not know, in order of appearance."""
    seen: list[str] = []
    for phoneme in phonemes:
        if phoneme_to_ipa(phoneme) is None and phoneme not in seen:
            seen.append(phoneme)
    return seen


def arpabet_to_ipa(phonemes: Sequence[str]) -> str:
    """The IPA transcription of an ARPAbet pronunciation, as one string.

    Phonemes that the table does not know are copied unchanged.
    """
    starts = set(syllable_starts(phonemes))
    syllables: list[list[str]] = []
    for index, phoneme in enumerate(phonemes):
        if index in starts or not syllables:
            syllables.append([])
        syllables[-1].append(phoneme)
    pieces: list[str] = []
    for syllable in syllables:
        mark = ""
        for phoneme in syllable:
            stress = split_phoneme(phoneme)[1]
            if stress == "1":
                mark = PRIMARY_STRESS
            elif stress == "2" and not mark:
                mark = SECONDARY_STRESS
        pieces.append(mark)
        for phoneme in syllable:
            ipa = phoneme_to_ipa(phoneme)
            pieces.append(phoneme if ipa is None else ipa)
    return "".join(pieces)
