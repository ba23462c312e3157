"""The progress bar a command shows on a terminal's standard error."""

from __future__ import annotations

import os
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TextIO

from vurel.cli.errors import PROGRAM
from vurel.cli.streams import Output, WordSource


def _same_terminal(first: TextIO, second: TextIO) -> bool:
    try:
        return first.isatty() and second.isatty() and os.path.samestat(
            os.fstat(first.fileno()), os.fstat(second.fileno()))
    except (OSError, ValueError):
        return False


def progress_wanted(source: WordSource, output: Output) -> bool:
    """Whether a bar helps: only on a terminal's standard error, never while
    the words are typed, and when the output goes to that same terminal only
    for words read from a file (whose lines the bar then makes way for)."""
    if sys.stderr is None or not sys.stderr.isatty() or source.is_interactive():
        return False
    return source.total_bytes is not None or not _same_terminal(output.stream, sys.stderr)


class Progress:
    """A tqdm bar on standard error, counting what has been written: bytes
    of the input file when its size is known, otherwise words. Disabled, it
    draws nothing and its notes are plain lines on standard error."""

    def __init__(self, enabled: bool, source: WordSource, words: int | None) -> None:
        from tqdm import tqdm

        # tqdm's monitor thread, started with the first bar even when it is
        # disabled, would make `vurel text --jobs` fork while another thread
        # may hold a lock; the bar is updated often enough without it.
        tqdm.monitor_interval = 0
        self._in_bytes = source.total_bytes is not None
        self._source = source
        self._bar = tqdm(
            total=source.total_bytes if self._in_bytes else words, unit="B" if self._in_bytes else " words",
            unit_scale=self._in_bytes, disable=not enabled, file=sys.stderr, leave=False, dynamic_ncols=True,
        )
        self.enabled = enabled
        # Whether the bar is on the screen: tqdm draws it when it starts.
        self._shown = enabled

    def advance(self, words: int) -> None:
        """Counts the next ``words`` words as written."""
        sizes = self._source.sizes
        written = sum(sizes.popleft() for _ in range(words))
        if not self.enabled:
            return
        # tqdm draws a few times a second at most, not on every update.
        drawn = self._bar.last_print_t
        self._bar.update(written if self._in_bytes else words)
        self._shown = self._shown or self._bar.last_print_t != drawn

    @contextmanager
    def hidden(self) -> Iterator[None]:
        """Takes the bar off the screen while the block writes to the terminal
        it is drawn on; the next update that tqdm draws puts it back below.
        Only a bar drawn since it was last taken off costs a write."""
        if self._shown:
            self._bar.clear()
            self._shown = False
        yield

    def note(self, message: str) -> None:
        """Writes ``vurel: message`` on standard error, above the bar."""
        with self.hidden():
            sys.stderr.write(f"{PROGRAM}: {message}\n")
            sys.stderr.flush()

    def close(self) -> None:
        self._bar.close()
