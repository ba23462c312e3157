"""``vurel text``: running text from the arguments, a file or standard
input, read aloud and pronounced, one output line per input line."""

from __future__ import annotations

import argparse
import sys
import time
from collections import Counter
from collections.abc import Iterator
from contextlib import nullcontext
from dataclasses import dataclass, field

from vurel.cli import arguments
from vurel.cli.errors import PROGRAM, CliError
from vurel.cli.progress import Progress, progress_wanted
from vurel.cli.signals import StopOnSignal
from vurel.cli.streams import Output, WordSource, open_output, open_word_source, plural
from vurel.g2p import G2P
from vurel.text import output as formats
from vurel.text import render_batches
from vurel.text.pipeline import TextReader
from vurel.text.tokens import Token

# Lines read at once when no reader waits on each answer.
_BATCH_LINES = 64
# A longer line is read in pieces of at most this many characters, cut
# after white space, so that a batch's tokens stay few: a 10 MB line took
# 2.7 GB read whole, 0.74 GB in pieces of 32,768.
_PIECE = 1 << 12


def register(commands) -> None:
    """Adds ``text`` to the subcommands ``commands``."""
    text = commands.add_parser(
        "text",
        help="pronounce running text: numbers, dates, money and abbreviations read aloud",
        description=(
            "Pronounce running text. Text comes from the arguments (each one a line), from --input FILE, or "
            "from standard input; each input line gives one output line. Numbers, dates, times, amounts, "
            "units, abbreviations and acronyms are read in the language's way; each word takes the lexicon's "
            "pronunciation or the model's. Tokens that cannot be read are reported on standard error."
        ),
    )
    text.add_argument("texts", nargs="*", metavar="TEXT", help="lines of text")
    text.add_argument("-i", "--input", metavar="FILE", help="read text from FILE ('-' for standard input)")
    text.add_argument("-m", "--model", metavar="PATH", help="model file (default: the language's model)")
    text.add_argument("-l", "--lang", metavar="CODE", type=arguments.language,
                      help="language: how text is read, and its model and lexicon (default en; with --model, "
                           "no lexicon unless --lexicon, as for g2p)")
    lexicon = text.add_mutually_exclusive_group()
    lexicon.add_argument("--lexicon", metavar="FILE", help="CMU or tab-separated dictionary to use instead")
    lexicon.add_argument("--no-lexicon", action="store_true", help="predict every word with the model")
    text.add_argument(
        "-f", "--format", choices=("text", "spoken", "jsonl"), default="text",
        help="text: phonemes, punctuation in place (default); spoken: the words as read; "
             "jsonl: a record per token, with its span, kind, words, phonemes and source",
    )
    text.add_argument("--ipa", action="store_true", help="give phonemes in IPA, a word's as one string")
    text.add_argument("--phoneme-separator", metavar="TEXT",
                      help="between a word's phonemes (default a space; with --ipa none)")
    text.add_argument("--word-separator", metavar="TEXT",
                      help="between words and punctuation marks (default ' | '; with --ipa a space)")
    text.add_argument("--no-punctuation", action="store_true", help="leave punctuation marks out")
    text.add_argument("-n", "--nbest", type=arguments.positive, default=1,
                      help="with jsonl: pronunciations per word (default 1)")
    text.add_argument("--prob", action="store_true", help="with jsonl: each predicted pronunciation's probability")
    text.add_argument(
        "--invalid", choices=("report", "replace"), default="report",
        help="a line that is not valid UTF-8: report it and give it an empty output line (default; exit "
             "status 1 at the end), or read it with U+FFFD for the bad bytes",
    )
    text.add_argument("-j", "--jobs", type=arguments.jobs, default=1,
                      help="processes reading at once: this one and others forked from it once the model is "
                           "loaded, so that they share it (0: one per processor); output keeps the input's order")
    text.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of standard output")
    text.add_argument("--no-progress", action="store_true", help="never show the progress bar")
    text.set_defaults(handler=run, command_parser=text)


class LineSource(WordSource):
    """Lines of text, read lazily; unlike words, blank lines are kept (each
    gives its output line). A line that is not valid UTF-8 is given as
    None, and named in ``invalid``, unless ``replace``."""

    def __init__(self, source: WordSource, replace: bool) -> None:
        super().__init__(source._words, source.stream, source.name)
        self.replace = replace
        self.invalid: list[str] = []

    def __iter__(self) -> Iterator[str | None]:  # type: ignore[override]
        if self.stream is None:
            for line in self._words:
                if self.stopped:
                    return
                self.sizes.append(1)
                yield line.encode("utf-8", "surrogateescape").decode("utf-8", "replace") if self.replace else line
            return
        number = 0
        while not self.stopped:
            self.reading = True
            try:
                # Read in bounded pieces, as words are, so that a signal is
                # answered inside a long line.
                read = self._read_line(number + 1)
            finally:
                self.reading = False
            if read is None:
                return
            number += 1
            raw, size, _ = read
            self.sizes.append(size)
            raw = raw.rstrip(b"\r\n")
            try:
                line = raw.decode("utf-8")
            except UnicodeDecodeError as error:
                if self.replace:
                    line = raw.decode("utf-8", "replace")
                else:
                    self.invalid.append(f"{self.name}:{number}: invalid UTF-8 (byte 0x{raw[error.start]:02x} "
                                        f"at column {error.start + 1})")
                    yield None
                    continue
            yield line.removeprefix("\ufeff") if number == 1 else line


class _Piece(str):
    """A line, or a piece of a long one: ``line`` its number, ``offset``
    where the piece starts in the line (in characters), ``last`` whether it
    ends the line, ``inside_word`` whether the next piece goes on without
    white space between them."""

    line: int
    offset: int
    last: bool
    inside_word: bool


def _piece(text: str, line: int, offset: int, last: bool, inside_word: bool = False) -> _Piece:
    piece = _Piece(text)
    piece.line, piece.offset, piece.last, piece.inside_word = line, offset, last, inside_word
    return piece


def pieces(line: str, number: int, size: int = _PIECE) -> Iterator[_Piece]:
    """``line`` as pieces of at most ``size`` characters, each cut after the
    last space in its second half where there is one (a token never spans
    two pieces then), else at ``size``. A space after a letter or digit is
    preferred: after a period, the piece's end would read as a sentence's."""
    start = 0
    while len(line) - start > size:
        low, space, fallback = start + size // 2, start + size, -1
        while (space := line.rfind(" ", low, space)) >= 0 and not line[space - 1].isalnum():
            fallback = max(fallback, space)
        space = space if space >= 0 else fallback
        cut = space + 1 if space >= 0 else start + size
        yield _piece(line[start:cut], number, start, False, space < 0)
        start = cut
    yield _piece(line[start:], number, start, True)


def _make_reader(args: argparse.Namespace) -> TextReader:
    from vurel.languages import DefaultModelError

    lexicon = None if args.no_lexicon else args.lexicon if args.lexicon is not None else "default"
    try:
        g2p = G2P(args.model, lang=args.lang, lexicon=lexicon, nbest=args.nbest, ipa=args.ipa,
                  probabilities=args.prob)
        return TextReader(g2p)
    except (OSError, ValueError, DefaultModelError) as error:
        raise CliError(str(error)) from None


def run(args: argparse.Namespace) -> int:
    reader = _make_reader(args)
    words, owned = open_word_source(args.texts, args.input)
    source = LineSource(words, args.invalid == "replace")
    try:
        output = open_output(args.output, source.stream)
        try:
            with StopOnSignal(reader.g2p, source, output) as stop:
                status = _read_stream(args, source, reader, output)
                stop.raise_if_stopped()
                return status
        finally:
            if args.output is not None:
                output.close()
    finally:
        if owned is not None:
            owned.close()


@dataclass
class _Rendered:
    """A batch's output, as (text, whether it ends an output line, whether
    the next text goes on inside a word) triples, and what the closing
    summary counts of it."""

    lines: list[tuple[str, bool, bool]] = field(default_factory=list)
    texts: int = 0
    kinds: Counter[str] = field(default_factory=Counter)
    sources: Counter[str] = field(default_factory=Counter)
    problems: Counter[str] = field(default_factory=Counter)
    notes: list[str] = field(default_factory=list)

    def add(self, other: _Rendered) -> None:
        self.texts += other.texts
        self.kinds += other.kinds
        self.sources += other.sources
        self.problems += other.problems


def _renderer(args: argparse.Namespace):
    """The function that turns a batch's tokens into its output lines."""
    use_ipa = args.ipa and args.phoneme_separator is None
    phonemes = " " if args.phoneme_separator is None else args.phoneme_separator
    separator = (" " if args.ipa else " | ") if args.word_separator is None else args.word_separator
    punctuation = not args.no_punctuation
    alternatives = args.nbest > 1 or args.prob

    def render(first: int, texts: list[_Piece], tokens: list[list[Token]]) -> _Rendered:
        rendered = _Rendered(texts=sum(text.last for text in texts))
        for text, found in zip(texts, tokens):
            for token in found:
                rendered.kinds[token.kind] += 1
                rendered.sources.update(token.source)
                if token.problem is not None:
                    rendered.problems[token.problem.split(":", 1)[0]] += 1
                    rendered.notes.append(f"line {text.line}: {token.text[:40]!r} at {token.start + text.offset}: "
                                          f"{token.problem}")
            if args.format == "jsonl":
                rendered.lines += [(record, True, False) for record in formats.json_lines(
                    found, line=text.line, offset=text.offset, alternatives=alternatives, punctuation=punctuation)]
            elif args.format == "spoken":
                rendered.lines.append((formats.spoken_line(found, punctuation=punctuation), text.last,
                                       text.inside_word))
            else:
                rendered.lines.append((formats.phoneme_line(found, ipa=use_ipa, phoneme_separator=phonemes,
                                                            word_separator=separator, punctuation=punctuation),
                                       text.last, False))
        return rendered

    return render


def _read_stream(args, source: LineSource, reader: TextReader, output: Output) -> int:
    progress = Progress(not args.no_progress and progress_wanted(source, output), source, len(args.texts) or None)
    shares_screen = progress.enabled and output.isatty()
    total = _Rendered()
    live = output.isatty() or (source.total_bytes is None and not args.texts)
    invalid_lines = 0

    def lines() -> Iterator[_Piece]:
        nonlocal invalid_lines
        for number, line in enumerate(source, start=1):
            if line is None:
                invalid_lines += 1
                progress.note(source.invalid[-1])
                line = ""
            yield from pieces(line, number)

    # Pieces of one line are joined by what joins their words; in the
    # spoken text, a piece cut inside a word goes on without a space.
    joiner = " " if args.format == "spoken" or args.ipa and args.word_separator is None \
        else " | " if args.word_separator is None else args.word_separator
    line_open = glued = False

    last_flush = time.monotonic()
    try:
        # Where someone waits on each line, each is answered at once, here.
        for rendered in render_batches(reader, lines(), _renderer(args), jobs=1 if live else args.jobs,
                                       batch=1 if live else _BATCH_LINES, processes=True):
            total.add(rendered)
            for note in rendered.notes:
                progress.note(note)
            now = time.monotonic()
            with progress.hidden() if shares_screen and rendered.lines else nullcontext():
                if rendered.lines:
                    written = []
                    for text, last, inside_word in rendered.lines:
                        if text:
                            written += [text] if not line_open else ["", text] if glued else [joiner, text]
                            line_open, glued = True, inside_word
                        if last:
                            written.append("\n")
                            line_open = False
                    output.write("".join(written))
                if live or now - last_flush >= 0.25:
                    output.flush()
                    last_flush = now
            progress.advance(rendered.texts)
    finally:
        try:
            output.flush()
        finally:
            progress.close()
    _summarise(total, invalid_lines, progress.enabled or bool(total.problems) or bool(invalid_lines))
    return 1 if invalid_lines else 0


def _summarise(tally: _Rendered, invalid: int, shown: bool) -> None:
    if not shown:
        return
    parts = [plural(tally.texts, "line"), plural(sum(tally.kinds.values()), "token")]
    words = sum(tally.sources.values())
    if words:
        parts.append(f"{plural(words, 'word')} ("
                     + ", ".join(f"{source}: {count:,}" for source, count in tally.sources.most_common()) + ")")
    problems = sum(tally.problems.values())
    parts.append(f"{plural(problems, 'token')} with a problem" + (
        " (" + ", ".join(f"{kind}: {count:,}" for kind, count in tally.problems.most_common()) + ")"
        if problems else ""))
    if invalid:
        parts.append(f"{plural(invalid, 'line')} not valid UTF-8")
    sys.stderr.write(f"{PROGRAM}: {', '.join(parts)}\n")

