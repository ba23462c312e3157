from typing import final

def read_model_info(path: str) -> dict[str, object]: ...
def read_dictionary(path: str, *, skip_malformed: bool = False) -> list[tuple[str, tuple[str, ...]]]: ...
@final
class Decoder:
    def __new__(cls, path: str, delim: str = "") -> Decoder: ...
    def decode(
        self,
        word: str,
        nbest: int = 1,
        beam: int = 10000,
        threshold: float = 99.0,
        pmass: float = 99.0,
        accumulate: bool = False,
    ) -> tuple[str, list[tuple[float, tuple[str, ...]]]]: ...
    def letters(self) -> tuple[str, ...]: ...
