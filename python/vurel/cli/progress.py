"""The progress bar a command shows on a terminal's standard error."""

from __future__ import annotations

import sys

from vurel.cli.errors import PROGRAM
from vurel.cli.streams import WordSource


class Progress:
    """A tqdm bar on a terminal's standard error, counting what has been
    written: bytes of the input file, or words."""

    def __init__(self, enabled: bool, source: WordSource, words: int | None) -> None:
        from tqdm import tqdm

        in_bytes = source.total_bytes is not None
        self._source = source
        self._bar = tqdm(
            total=source.total_bytes if in_bytes else words, unit="B" if in_bytes else " words",
            unit_scale=in_bytes, disable=not enabled, file=sys.stderr, leave=False, dynamic_ncols=True,
        )
        self.enabled = enabled

    def advance(self, words: int) -> None:
        """Counts the next ``words`` words as written."""
        sizes = self._source.sizes
        self._bar.update(sum(sizes.popleft() for _ in range(words)))

    def note(self, message: str) -> None:
        self._bar.clear()
        sys.stderr.write(f"{PROGRAM}: {message}\n")
        sys.stderr.flush()
        self._bar.refresh()

    def close(self) -> None:
        self._bar.close()
