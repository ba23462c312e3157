from collections.abc import Callable
from typing import Any

def train(
    dictionary: str,
    model: str,
    *,
    format: str = "auto",
    skip_malformed: bool = False,
    strip_stress: bool = False,
    order: int = 9,
    smoothing: str = "kn",
    max_letters: int = 1,
    max_phonemes: int = 1,
    insertions: bool = True,
    deletions: bool = True,
    many_to_many: bool = False,
    iterations: int = 30,
    alternatives: int = 1,
    align_stress: bool = False,
    primary_stress: str = "auto",
    progress: Callable[[str], object] | None = None,
) -> dict[str, Any]: ...
def evaluate(
    model: str,
    dictionary: str,
    *,
    format: str = "auto",
    skip_malformed: bool = False,
    strip_stress: bool = False,
    errors: bool = False,
) -> dict[str, Any]: ...
