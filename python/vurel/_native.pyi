from collections.abc import Sequence
from typing import Literal, final

def read_model_info(path: str) -> dict[str, object]: ...
def read_dictionary(path: str, *, skip_malformed: bool = False) -> list[tuple[str, tuple[str, ...]]]: ...
@final
class Decoder:
    def __new__(cls, path: str, delim: str = "") -> Decoder: ...
    def decode(
        self,
        word: str,
        nbest: int = 1,
        *,
        search: Literal["distinct", "paths"] = "distinct",
        probabilities: bool = False,
        ranking: Literal["path", "probability"] = "path",
        beam: int = 10000,
        threshold: float = 99.0,
        pmass: float = 99.0,
        accumulate: bool = False,
    ) -> tuple[str, list[tuple[float, tuple[str, ...], float | None]]]: ...
    def decode_many(
        self,
        words: Sequence[str],
        nbest: int = 1,
        *,
        search: Literal["distinct", "paths"] = "distinct",
        probabilities: bool = False,
        ranking: Literal["path", "probability"] = "path",
        beam: int = 10000,
        threshold: float = 99.0,
        pmass: float = 99.0,
        accumulate: bool = False,
    ) -> list[tuple[str, list[tuple[float, tuple[str, ...], float | None]]]]: ...
    def cancel(self) -> None: ...
    def resume(self) -> None: ...
    def letters(self) -> tuple[str, ...]: ...
    def build_merged_model(self, *, background: bool = False) -> bool: ...

SEGMENT_OTHER: int
SEGMENT_NUMBER: int
SEGMENT_LETTER: int
SEGMENT_KANA: int
SEGMENT_IDEOGRAPHIC: int

def word_segments(text: str) -> list[tuple[int, int, int]]: ...
@final
class NumberSpeller:
    def __new__(cls, language: str) -> NumberSpeller: ...
    def spell(self, number: str, rule_set: str = "%spellout-numbering") -> str: ...
    @property
    def rule_sets(self) -> tuple[str, ...]: ...
    @property
    def language(self) -> str: ...
