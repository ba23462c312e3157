"""How a ``vurel`` command fails: the program name its messages start with,
and the exceptions that ``main`` turns into an exit status."""

from __future__ import annotations

PROGRAM = "vurel"


class CliError(Exception):
    """An expected failure: reported as one line, exit status 1."""


class UsageError(Exception):
    """Options that do not go together: reported as argparse does, exit status 2."""


class Terminated(BaseException):
    """SIGTERM, turned into an exception so that output is flushed on the way out."""
