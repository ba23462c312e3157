"""How SIGINT and SIGTERM end a command: what is done is kept, and the
process ends within a second even when a decoding thread does not stop."""

from __future__ import annotations

import os
import signal
import sys
import threading
from typing import NoReturn

from vurel.cli.errors import PROGRAM, CliError, Terminated
from vurel.cli.streams import Output, WordSource
from vurel.g2p import G2P


def raise_terminated(signum, frame) -> NoReturn:
    """A SIGTERM handler: unwinds like KeyboardInterrupt, so that output is flushed."""
    raise Terminated()


def leave_now(message: str, status: int) -> NoReturn:
    """Ends the process at once, the finished lines already flushed: a word
    may still be decoding on another thread, and a normal exit would wait
    for it."""
    sys.stderr.write(message)
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass
    os._exit(status)


class StopOnSignal:
    """While words are decoded, SIGINT and SIGTERM end the run without losing
    what is done: the words being decoded stop at once (the decoder's
    cancellation), no more are read, and the words decoded before are still
    written; `raise_if_stopped` then raises. A run waiting for input stops
    at once. A word whose decoding does not look at the cancellation (the
    OpenFst pipeline's last steps) is not waited for past a second: the
    lines written are flushed and the process ends."""

    GRACE_SECONDS = 1.0

    def __init__(self, g2p: G2P, source: WordSource, output: Output) -> None:
        self._g2p = g2p
        self._source = source
        self._output = output
        self._signal: int | None = None
        self._previous: dict[int, object] = {}

    def __enter__(self) -> StopOnSignal:
        for number in (signal.SIGINT, signal.SIGTERM):
            self._previous[number] = signal.signal(number, self._handle)
        return self

    def __exit__(self, *exception) -> None:
        for number, handler in self._previous.items():
            signal.signal(number, handler)

    def _stopping(self) -> BaseException:
        return KeyboardInterrupt() if self._signal == signal.SIGINT else Terminated()

    def _handle(self, signum, frame) -> None:
        if self._signal is None:
            self._signal = signum
            self._g2p.cancel()
            self._source.stopped = True
            timer = threading.Timer(self.GRACE_SECONDS, self._leave)
            timer.daemon = True
            timer.start()
        if self._source.reading:
            raise self._stopping()

    def _leave(self) -> NoReturn:
        try:
            self._output.flush()
        except (OSError, CliError):
            pass
        interrupted = self._signal == signal.SIGINT
        leave_now(f"\n{PROGRAM}: interrupted\n" if interrupted else f"{PROGRAM}: terminated\n",
                  130 if interrupted else 143)

    def raise_if_stopped(self) -> None:
        if self._signal is not None:
            raise self._stopping()
