"""The ``vurel`` command: ``g2p`` decodes words, ``info`` describes a model,
``languages`` lists the languages, ``text`` pronounces running text, ``train`` and ``evaluate`` make and
measure models.

Each command lives in its own module with a ``register(commands)`` function
that adds its parser to the subcommands and sets ``handler`` (called with the
parsed arguments, returns the exit status) and ``command_parser`` (which
reports its usage errors). A new command is one such module and one entry
in ``COMMANDS``."""

from __future__ import annotations

import argparse
import os
import signal
import sys
from collections.abc import Sequence

from vurel import __version__
from vurel.cli import g2p, info, text, train
from vurel.cli.arguments import CommandParser
from vurel.cli.errors import PROGRAM, CliError, Terminated, UsageError
from vurel.cli.signals import leave_now, raise_terminated
from vurel.cli.streams import discard_stdout, flush_stdout

COMMANDS = (g2p, text, info, train)


def build_parser() -> argparse.ArgumentParser:
    parser = CommandParser(prog=PROGRAM, description="Grapheme-to-phoneme conversion with weighted FSTs.")
    parser.add_argument("--version", action="version", version=f"{PROGRAM} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=CommandParser, required=True)
    for command in COMMANDS:
        command.register(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    if sys.stderr is None:
        # Started with standard error closed: the messages are lost, the
        # work is not.
        sys.stderr = open(os.devnull, "w")  # noqa: SIM115 - for the life of the process
    parser = build_parser()
    # Unknown options are reported by the command they were given to.
    args, unknown = parser.parse_known_args(arguments)
    if unknown:
        args.command_parser.error("unrecognized arguments: " + " ".join(unknown))
    try:
        sys.stdout.reconfigure(encoding="utf-8", newline="\n")  # type: ignore[union-attr]
    except (AttributeError, ValueError):
        pass
    previous = signal.signal(signal.SIGTERM, raise_terminated)
    try:
        if sys.stdout is None and not (args.command in ("g2p", "text") and args.output):
            raise CliError("standard output is closed")
        status = args.handler(args)
        if sys.stdout is not None:
            flush_stdout()
        return status
    except UsageError as error:
        args.command_parser.error(str(error))
    except CliError as error:
        sys.stderr.write(f"{PROGRAM}: error: {error}\n")
        return 1
    except BrokenPipeError:
        # The reader went away (``| head``): stop quietly, as other filters do.
        discard_stdout()
        return 141
    except KeyboardInterrupt:
        leave_now(f"\n{PROGRAM}: interrupted\n", 130)
    except Terminated:
        leave_now(f"{PROGRAM}: terminated\n", 143)
    finally:
        signal.signal(signal.SIGTERM, previous)
