"""Parsing helpers shared by the commands: the parser class whose errors
exit 2 with a pointer to ``--help``, and the option types that check a
value when it is read."""

from __future__ import annotations

import argparse
import math
import os
from typing import NoReturn


class CommandParser(argparse.ArgumentParser):
    """An argument parser whose errors name the command and end with a
    pointer to its ``--help``; exit status 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def integer(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid integer: {text!r}") from None


def positive(text: str) -> int:
    value = integer(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def jobs(text: str) -> int:
    """A thread count; 0 means one per processor."""
    value = integer(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 (one per processor) or more, not {value}")
    return value or (os.cpu_count() or 1)


def count(text: str) -> int:
    value = integer(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def probability(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1: {text!r}")
    return value


def number(text: str) -> float:
    """Any float but NaN; infinities are allowed."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if math.isnan(value):
        raise argparse.ArgumentTypeError("must be a number, not nan")
    return value


def language(text: str) -> str:
    """A language code of the registry, so that an unknown one is a usage error."""
    from vurel import languages

    try:
        return languages.get(text).code
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
