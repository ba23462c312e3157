"""``vurel g2p``: pronunciations of words from the arguments, a file or
standard input, one record per pronunciation."""

from __future__ import annotations

import argparse
import sys
import time
from collections import Counter
from contextlib import nullcontext

from vurel.cli import arguments
from vurel.cli.errors import PROGRAM, CliError, UsageError
from vurel.cli.formats import Formatter
from vurel.cli.progress import Progress, progress_wanted
from vurel.cli.signals import StopOnSignal
from vurel.cli.streams import CutLine, Output, WordSource, open_output, open_word_source, plural
from vurel.g2p import CANCELLED, G2P, PROBABILITIES_UNDEFINED, SOURCE_LEXICON, TOO_LONG, WordResult, problem_kind


def register(commands) -> None:
    """Adds ``g2p`` to the subcommands ``commands``."""
    g2p = commands.add_parser(
        "g2p",
        help="predict pronunciations of words",
        description=(
            "Predict pronunciations. Words come from the arguments, from --input FILE, or one per line "
            "from standard input. With the default English model, words in the CMU dictionary take its "
            "pronunciations and the others are predicted. One output line per pronunciation; a word without "
            "any pronunciation is reported on standard error with the reason and counted in the closing summary. "
            "Punctuation before and after a word is not part of it."
        ),
    )
    g2p.add_argument("words", nargs="*", metavar="WORD", help="words to decode")
    g2p.add_argument("-i", "--input", metavar="FILE", help="read words from FILE, one per line ('-' for standard input)")
    g2p.add_argument("-m", "--model", metavar="PATH", help="model file (default: the English model trained on CMUdict)")
    g2p.add_argument("-l", "--lang", metavar="CODE", type=arguments.language,
                     help="language: its model, lexicon and spelling (default en; see vurel languages)")
    g2p.add_argument("-n", "--nbest", type=arguments.positive, default=1, help="pronunciations per word (default 1)")
    g2p.add_argument(
        "--search", choices=("distinct", "paths"), default="distinct",
        help="distinct: the NBEST best distinct pronunciations (default); paths: the pronunciations among "
             "the NBEST best paths of the model, which may be fewer (one pronunciation has many paths)",
    )
    g2p.add_argument("--prob", action="store_true",
                     help="also give each predicted pronunciation's probability given the word")
    g2p.add_argument("--min-prob", type=arguments.probability, metavar="P",
                     help="keep only predicted pronunciations at least this probable (at most NBEST)")
    g2p.add_argument(
        "--ranking", choices=("path", "probability"), default="path",
        help="rank distinct pronunciations by their best path's weight (default) or by their probability",
    )
    g2p.add_argument("--beam", type=arguments.positive,
                     help="with --search paths: return at most this many pronunciations per word (default 10000)")
    g2p.add_argument(
        "--threshold", type=arguments.number,
        help="drop pronunciations whose weight (normalised with --pmass) is above this, whatever its size "
             "(default: none dropped)",
    )
    g2p.add_argument(
        "--pmass", type=arguments.number,
        help="with --search paths: normalise weights and stop once the pronunciations cover more than "
             "e^-PMASS of the probability mass (default 99: off)",
    )
    g2p.add_argument("--accumulate", action="store_true",
                     help="with --search paths: add up the probabilities of paths that merge")
    g2p.add_argument("--delim", default="", help="split words at this text instead of into characters")
    g2p.add_argument(
        "--case", choices=("auto", "keep", "lower", "upper"), default="auto",
        help="fold words to this case before decoding (auto: the case of the model's letters)",
    )
    g2p.add_argument(
        "-f", "--format", choices=("tsv", "dict", "jsonl"), default="tsv",
        help="output format (default tsv); in tsv and dict, a backslash, tab, newline, carriage return or NUL in "
             "a word is written \\\\, \\t, \\n, \\r or \\0, and in dict a space as \\s",
    )
    g2p.add_argument(
        "--every-word", action="store_true",
        help="give words without pronunciation a line too (source 'none'), and a blank input line a record "
             "of the empty word, so that output lines up with input line by line; jsonl always gives words "
             "without pronunciation a record, with the problem",
    )
    g2p.add_argument("--ipa", action="store_true",
                     help="also give each pronunciation in IPA: the languages' models, and a model file whose "
                          "phonemes are all ARPAbet (refused for any other)")
    lexicon = g2p.add_mutually_exclusive_group()
    lexicon.add_argument(
        "--lexicon", metavar="FILE",
        help="CMU or tab-separated dictionary whose words take its pronunciations instead of predicted ones "
             "(default: the CMU dictionary with the default model)",
    )
    lexicon.add_argument("--no-lexicon", action="store_true", help="predict every word with the model")
    g2p.add_argument(
        "--unknown", choices=("report", "drop"), default="report",
        help="words with characters the model does not know: report them without pronunciation (default), "
             "or drop the characters and decode the rest",
    )
    g2p.add_argument(
        "--max-length", type=arguments.count, default=256,
        help="report longer words instead of decoding them (default 256 characters; 0: no limit); "
             "of a longer input line only the start is read, so that no line can fill the memory",
    )
    g2p.add_argument("-j", "--jobs", type=arguments.jobs, default=1,
                     help="threads decoding at once, sharing one model (0: one per processor)")
    g2p.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of standard output")
    g2p.add_argument("--no-progress", action="store_true",
                     help="never show the progress bar (shown on a terminal's standard error, for a file's words "
                          "or output that goes elsewhere, never for typed words)")
    g2p.set_defaults(handler=run, command_parser=g2p)



def _make_g2p(args: argparse.Namespace) -> G2P:
    from vurel.languages import DefaultModelError

    if args.no_lexicon:
        lexicon = None
    elif args.lexicon is not None:
        lexicon = args.lexicon
    else:
        lexicon = "default"
    try:
        return G2P(
            args.model, lang=args.lang, lexicon=lexicon, nbest=args.nbest, ipa=args.ipa, unknown=args.unknown,
            max_length=args.max_length, threads=args.jobs, delim=args.delim, case=args.case,
            threshold=args.threshold, background=True, **_paths_options(args),
            search=args.search, probabilities=args.prob, min_prob=args.min_prob, ranking=args.ranking,
        )
    except (OSError, ValueError, DefaultModelError) as error:
        raise CliError(str(error)) from None


def _check_arpabet(path: str) -> None:
    """Refuses --ipa for a model file unless its phonemes are all ARPAbet,
    the one notation converted: a registry model's notation is known, a
    file's is not, and ``r`` or ``y`` would be read as ARPAbet's R and Y."""
    from vurel import _native, _vurel
    from vurel.ipa import phoneme_to_ipa

    symbols = _native.read_model_info(path)["output_symbols"]["symbols"]
    model = _vurel.Model(path)
    # Labels 0 to 2 are epsilon, the tie and the skip symbol; a cluster
    # joins phonemes with the tie.
    phonemes = dict.fromkeys(phoneme for label in range(3, symbols)
                             for phoneme in (model.find_osym(label) or "").split("|") if phoneme)
    others = [phoneme for phoneme in phonemes if phoneme != phoneme.upper() or phoneme_to_ipa(phoneme) is None]
    if others:
        shown = " ".join(others[:8]) + (" ..." if len(others) > 8 else "")
        raise UsageError(f"--ipa converts ARPAbet phonemes, and the model {path} has others: {shown}")


def _paths_options(args: argparse.Namespace) -> dict[str, object]:
    """--beam, --pmass and --accumulate, which only the paths search takes."""
    given = {"--beam": args.beam is not None, "--pmass": args.pmass is not None, "--accumulate": args.accumulate}
    if args.search != "paths" and any(given.values()):
        raise UsageError(f"only --search paths takes {', '.join(flag for flag, on in given.items() if on)}")
    distinct = {"--prob": args.prob, "--min-prob": args.min_prob is not None, "--ranking": args.ranking != "path"}
    if args.search == "paths" and any(distinct.values()):
        raise UsageError(f"--search paths does not take {', '.join(flag for flag, on in distinct.items() if on)}")
    return {"beam": 10000 if args.beam is None else args.beam, "pmass": 99.0 if args.pmass is None else args.pmass,
            "accumulate": args.accumulate}


def run(args: argparse.Namespace) -> int:
    g2p = _make_g2p(args)
    if args.ipa and args.model is not None:
        _check_arpabet(g2p.model_path)
    source, owned = open_word_source(args.words, args.input, max_length=args.max_length,
                                     blank_lines=args.every_word)
    try:
        output = open_output(args.output, source.stream)
        try:
            with StopOnSignal(g2p, source, output) as stop:
                status = _decode_stream(args, source, g2p, output)
                stop.raise_if_stopped()
                return status
        finally:
            if args.output is not None:
                output.close()
    finally:
        if owned is not None:
            owned.close()


def _decode_stream(args, source: WordSource, g2p: G2P, output: Output) -> int:
    formatter = Formatter(args.format, args.every_word, args.ipa, args.prob)
    progress = Progress(not args.no_progress and progress_wanted(source, output), source, len(args.words) or None)
    # The bar and the lines may share a terminal (output there is live, so
    # flushed at once): the bar makes way for them.
    shares_screen = progress.enabled and output.isatty()
    words = pronunciations = from_lexicon = dropped = undefined = 0
    missing: Counter[str] = Counter()
    unknown_ipa: dict[str, None] = {}
    # Someone may be waiting for each answer (a terminal, or a program that
    # feeds words through a pipe): then every word is flushed at once.
    # Otherwise output is flushed a few times a second.
    live = output.isatty() or (source.total_bytes is None and not args.words)
    last_flush = time.monotonic()
    try:
        # Batches of words go to the decoder in one call each, except where
        # a reader waits on each answer; a batch's lines are written at once.
        for results in g2p.pronounce_batches(source, batch=1 if live else 64):
            lines: list[str] = []
            written = 0
            for result in results:
                words += 1
                if isinstance(result.word, CutLine):
                    result = _too_long(result.word, args.max_length)
                if result.pronunciations:
                    pronunciations += len(result.pronunciations)
                    from_lexicon += result.pronunciations[0].source == SOURCE_LEXICON
                    lines += formatter.lines(result)
                    if args.ipa and g2p.notation == "ARPAbet":
                        for found in result.pronunciations:
                            unknown_ipa.update(dict.fromkeys(ipa_unknown(found.phonemes)))
                    if result.dropped:
                        dropped += 1
                        progress.note(
                            f"{result.word!r}: left out {', '.join(map(repr, dict.fromkeys(result.dropped)))}"
                        )
                    if result.problem is not None:
                        undefined += 1
                        progress.note(f"{_shown(result.word)}: {result.problem}")
                elif result.problem == CANCELLED:
                    # A stop signal came before the word was decoded.
                    continue
                else:
                    assert result.problem is not None
                    lines += formatter.missing(result)
                    missing[problem_kind(result.problem)] += 1
                    progress.note(f"no pronunciation for {_shown(result.word)}: {result.problem}")
                written += 1
            now = time.monotonic()
            with progress.hidden() if shares_screen and lines else nullcontext():
                if lines:
                    output.write("\n".join(lines) + "\n")
                if live or now - last_flush >= 0.25:
                    output.flush()
                    last_flush = now
            progress.advance(written)
    finally:
        try:
            output.flush()
        finally:
            progress.close()
    if unknown_ipa:
        progress.note("no IPA for phonemes (copied unchanged): " + " ".join(unknown_ipa))
    if missing or dropped or undefined or progress.enabled:
        parts = [plural(words, "word"), plural(pronunciations, "pronunciation")]
        if g2p.lexicon_path is not None:
            parts.append(f"{plural(from_lexicon, 'word')} from the lexicon")
        if dropped:
            parts.append(f"{plural(dropped, 'word')} with characters left out")
        if undefined:
            parts.append(f"{plural(undefined, 'word')} with {PROBABILITIES_UNDEFINED}")
        without = f"{sum(missing.values()):,} without pronunciation"
        if missing:
            without += " (" + ", ".join(f"{kind}: {count:,}" for kind, count in missing.most_common()) + ")"
        parts.append(without)
        sys.stderr.write(f"{PROGRAM}: {', '.join(parts)}\n")
    return 0


def _too_long(line: CutLine, max_length: int) -> WordResult:
    """The result of a line cut short while it was read, whatever its start
    would give: the whole line is too long."""
    return WordResult(line, (), f"{TOO_LONG}: {line.characters:,} characters, more than {max_length}")


def _shown(word: str, limit: int = 40) -> str:
    """The word quoted for a message; a word past ``limit`` characters is cut."""
    return repr(word) if len(word) <= limit else repr(word[:limit]) + "..."


def ipa_unknown(phonemes) -> list[str]:
    from vurel.ipa import unknown_phonemes

    return unknown_phonemes(phonemes)
