"""The ``vurel`` command: ``g2p`` decodes words, ``info`` describes a model,
``languages`` lists the languages, ``train`` and ``evaluate`` make and
measure models."""

from __future__ import annotations

import argparse
import json
import math
import os
import signal
import sys
import threading
import time
from collections import Counter
from collections.abc import Sequence
from typing import BinaryIO, NoReturn

from vurel import __version__
from vurel.cli_streams import (
    PROGRAM, CliError, Formatter, Output, Progress, WordSource, discard_stdout, open_output, plural,
)
from vurel.g2p import CANCELLED, G2P, SOURCE_LEXICON, problem_kind


class UsageError(Exception):
    """Options that do not go together: reported as argparse does, exit status 2."""


class _Terminated(BaseException):
    """SIGTERM, turned into an exception so that output is flushed on the way out."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _integer(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid integer: {text!r}") from None


def _positive(text: str) -> int:
    value = _integer(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _jobs(text: str) -> int:
    value = _integer(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 (one per processor) or more, not {value}")
    return value or (os.cpu_count() or 1)


def _count(text: str) -> int:
    value = _integer(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def _probability(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1: {text!r}")
    return value


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if math.isnan(value):
        raise argparse.ArgumentTypeError("must be a number, not nan")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROGRAM, description="Grapheme-to-phoneme conversion with weighted FSTs.")
    parser.add_argument("--version", action="version", version=f"{PROGRAM} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser, required=True)

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
    g2p.add_argument("-l", "--lang", metavar="CODE",
                     help="language: its model, lexicon and spelling (default en; see vurel languages)")
    g2p.add_argument("-n", "--nbest", type=_positive, default=1, help="pronunciations per word (default 1)")
    g2p.add_argument(
        "--search", choices=("distinct", "paths"), default="distinct",
        help="distinct: the NBEST best distinct pronunciations (default); paths: the pronunciations among "
             "the NBEST best paths of the model, which may be fewer (one pronunciation has many paths)",
    )
    g2p.add_argument("--prob", action="store_true",
                     help="also give each predicted pronunciation's probability given the word")
    g2p.add_argument("--min-prob", type=_probability, metavar="P",
                     help="keep only predicted pronunciations at least this probable (at most NBEST)")
    g2p.add_argument(
        "--ranking", choices=("path", "probability"), default="path",
        help="rank distinct pronunciations by their best path's weight (default) or by their probability",
    )
    g2p.add_argument("--beam", type=_positive,
                     help="with --search paths: return at most this many pronunciations per word (default 10000)")
    g2p.add_argument(
        "--threshold", type=_number, default=99.0,
        help="drop pronunciations whose weight (normalised with --pmass) is above this (default 99: off)",
    )
    g2p.add_argument(
        "--pmass", type=_number,
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
        help="output format (default tsv); in tsv and dict, a backslash, tab, newline or carriage return in a word "
             "is written \\\\, \\t, \\n or \\r, and in dict a space as \\s",
    )
    g2p.add_argument(
        "--every-word", action="store_true",
        help="give words without pronunciation a line too (source 'none'), so that output lines up with input; "
             "jsonl always does, with the problem",
    )
    g2p.add_argument("--ipa", action="store_true", help="also give each pronunciation in IPA (ARPAbet models)")
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
        "--max-length", type=_count, default=256,
        help="report longer words instead of decoding them (default 256 characters; 0: no limit)",
    )
    g2p.add_argument("-j", "--jobs", type=_jobs, default=1,
                     help="threads decoding at once, sharing one model (0: one per processor)")
    g2p.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of standard output")
    g2p.add_argument("--no-progress", action="store_true", help="never show the progress bar")
    g2p.set_defaults(handler=_run_g2p, command_parser=g2p)

    info = commands.add_parser(
        "info", help="describe a model file", description="Describe a model file, or without one the default model."
    )
    info.add_argument("model", metavar="MODEL", nargs="?", help="model file (default: the default English model)")
    info.add_argument("-l", "--lang", metavar="CODE", help="describe this language's model instead (see vurel languages)")
    info.add_argument("--json", action="store_true", help="print the facts as one JSON object")
    info.set_defaults(handler=_run_info, command_parser=info)

    languages = commands.add_parser(
        "languages", help="list the languages and their data",
        description="List every language: code, name, whether its data package is installed, whether its model "
                    "is cached, and its measured figures (entries, held-out WER and PER).",
    )
    languages.add_argument("--json", action="store_true", help="print one JSON object per language")
    languages.set_defaults(handler=_run_languages)

    _add_trainer_commands(commands)
    return parser


def _add_dictionary_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("dictionary")
    group.add_argument("--format", choices=("auto", "cmu", "tsv"), default="auto",
                       help="dictionary format; auto: a line with a tab is TSV, others CMU (default auto)")
    group.add_argument("--skip-malformed", action="store_true", help="skip and count malformed lines")
    group.add_argument("--strip-stress", action="store_true", help="remove stress digits from phonemes")


def _add_trainer_commands(commands) -> None:
    train = commands.add_parser(
        "train",
        help="train a model from a pronunciation dictionary",
        usage=f"{PROGRAM} train --dict FILE -o MODEL [options]",
        description=(
            "Train a model from a pronunciation dictionary (CMU format or word<TAB>phonemes): EM alignment of "
            "letters and phonemes, a joint n-gram model, then the transducer the decoder loads."
        ),
    )
    train.add_argument("paths", nargs="*", metavar="DICT MODEL", help=argparse.SUPPRESS)
    train.add_argument("-d", "--dict", dest="dictionary", metavar="FILE", help="pronunciation dictionary")
    train.add_argument("-o", "--output", dest="model", metavar="MODEL", help="model file to write")
    _add_dictionary_options(train)
    options = train.add_argument_group("training")
    options.add_argument("--order", type=_positive, default=9, help="n-gram order (default 9)")
    options.add_argument("--smoothing", choices=("kn", "wb"), default="kn",
                         help="Kneser-Ney or Witten-Bell (default kn)")
    options.add_argument("--max-letters", type=int, choices=(1, 2), default=1,
                         help="letters per alignment step (default 1)")
    options.add_argument("--max-phonemes", type=int, choices=(0, 1, 2), default=1,
                         help="phonemes per alignment step (default 1)")
    options.add_argument("--no-insertions", dest="insertions", action="store_false",
                         help="forbid phonemes without letters")
    options.add_argument("--no-deletions", dest="deletions", action="store_false",
                         help="forbid letters without phonemes")
    options.add_argument("--many-to-many", action="store_true",
                         help="allow steps of 2 letters with 2 phonemes")
    options.add_argument("--iterations", type=_positive, default=30, help="most EM iterations (default 30)")
    options.add_argument("--alternatives", type=_positive, default=1,
                         help="segmentations counted per entry, each by its share (default 1)")
    options.add_argument("--align-stress", action="store_true",
                         help="let stress digits take part in the alignment")
    options.add_argument("--primary-stress", choices=("auto", "one", "any"), default="auto",
                         help="one primary stress per pronunciation; auto: when 95%% of the entries have one")
    train.add_argument("-q", "--quiet", action="store_true", help="no progress messages")
    train.add_argument("--json", action="store_true", help="print the report as one JSON object")
    train.set_defaults(handler=_run_train, command_parser=train)

    evaluate = commands.add_parser(
        "evaluate",
        help="measure a model's word and phoneme error rates on a dictionary",
        usage=f"{PROGRAM} evaluate --model MODEL --dict FILE [options]",
        description=(
            "Measure a model on a dictionary: a word is right when its best pronunciation equals one of its "
            "variants; phoneme errors are the edit distance to the nearest variant."
        ),
    )
    evaluate.add_argument("paths", nargs="*", metavar="MODEL DICT", help=argparse.SUPPRESS)
    evaluate.add_argument("-m", "--model", metavar="MODEL", help="model file")
    evaluate.add_argument("-d", "--dict", dest="dictionary", metavar="FILE", help="pronunciation dictionary")
    _add_dictionary_options(evaluate)
    evaluate.add_argument("--errors", action="store_true", help="list the words decoded wrongly")
    evaluate.add_argument("--json", action="store_true", help="print the report as one JSON object")
    evaluate.set_defaults(handler=_run_evaluate, command_parser=evaluate)


def _paths(args: argparse.Namespace, names: tuple[str, str], flags: tuple[str, str]) -> tuple[str, str]:
    """The two files from their options or, as earlier versions took them, as
    two positional arguments in the same order."""
    values = [getattr(args, name) for name in names]
    if args.paths:
        if len(args.paths) != 2 or any(values):
            raise UsageError(f"give {flags[0]} and {flags[1]}, or exactly two files")
        return args.paths[0], args.paths[1]
    missing = [flag for flag, value in zip(flags, values) if not value]
    if missing:
        raise UsageError("missing " + " and ".join(missing))
    return values[0], values[1]


def _run_train(args: argparse.Namespace) -> int:
    from vurel.training import train

    dictionary, model = _paths(args, ("dictionary", "model"), ("--dict FILE", "-o MODEL"))
    started = time.monotonic()

    def progress(message: str) -> None:
        sys.stderr.write(f"{PROGRAM}: [{time.monotonic() - started:6.1f} s] {message}\n")
        sys.stderr.flush()

    try:
        report = train(
            dictionary, model, format=args.format, skip_malformed=args.skip_malformed,
            strip_stress=args.strip_stress, order=args.order, smoothing=args.smoothing,
            max_letters=args.max_letters, max_phonemes=args.max_phonemes, insertions=args.insertions,
            deletions=args.deletions, many_to_many=args.many_to_many, iterations=args.iterations,
            alternatives=args.alternatives, align_stress=args.align_stress,
            primary_stress=args.primary_stress, progress=None if args.quiet else progress,
        )
    except (OSError, ValueError, RuntimeError) as error:
        raise CliError(str(error)) from None
    if args.json:
        text = json.dumps(report)
    else:
        stress = "yes" if report["one_primary_stress"] else "no"
        text = (
            f"entries: {report['entries']} ({report['unalignable']} not alignable, "
            f"{report['skipped_lines']} lines skipped, {report['duplicates']} duplicates)\n"
            f"units: {report['units']}, n-grams: {report['ngrams']}\n"
            f"one primary stress per word: {stress} "
            f"({100 * report['one_primary_stress_share']:.1f}% of the entries have one)\n"
            f"model: {model}: {report['states']} states, {report['arcs']} arcs, {report['bytes']} bytes\n"
            f"time: {report['seconds']:.1f} s"
        )
    try:
        _print(text)
        _flush_stdout()
    except CliError as error:
        raise CliError(f"{error} (the model {model} is written)") from None
    return 0


def _run_evaluate(args: argparse.Namespace) -> int:
    from vurel.training import evaluate

    model, dictionary = _paths(args, ("model", "dictionary"), ("--model MODEL", "--dict FILE"))
    try:
        report = evaluate(model, dictionary, format=args.format, skip_malformed=args.skip_malformed,
                          strip_stress=args.strip_stress, errors=args.errors)
    except (OSError, ValueError, RuntimeError) as error:
        raise CliError(str(error)) from None
    if args.json:
        _print(json.dumps(report, ensure_ascii=False))
        return 0
    for error in report.get("errors", ()):
        references = " / ".join(" ".join(reference) for reference in error["references"])
        _print(f"{error['word']}\t{' '.join(error['predicted']) or '-'}\t{references}")
    _print(
        f"words: {report['words']}, WER: {report['wer']:.2f}%, PER: {report['per']:.2f}%, "
        f"words with unknown letters: {report['words_with_unknown_letters']}"
    )
    return 0


def _open_input(args: argparse.Namespace) -> tuple[WordSource, BinaryIO | None]:
    if args.words and args.input:
        raise UsageError("give words as arguments or with --input, not both")
    if args.words:
        return WordSource(args.words, None, "<arguments>"), None
    if args.input and args.input != "-":
        try:
            stream = open(args.input, "rb")  # noqa: SIM115 - closed by the caller
        except OSError as error:
            raise CliError(f"cannot read {args.input}: {error.strerror or error}") from None
        return WordSource((), stream, args.input), stream
    if sys.stdin is None:
        raise CliError("standard input is closed: give words as arguments or with --input")
    return WordSource((), sys.stdin.buffer, "<stdin>"), None


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


class _StopOnSignal:
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

    def __enter__(self) -> _StopOnSignal:
        for number in (signal.SIGINT, signal.SIGTERM):
            self._previous[number] = signal.signal(number, self._handle)
        return self

    def __exit__(self, *exception) -> None:
        for number, handler in self._previous.items():
            signal.signal(number, handler)

    def _stopping(self) -> BaseException:
        return KeyboardInterrupt() if self._signal == signal.SIGINT else _Terminated()

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
        _leave_now(f"\n{PROGRAM}: interrupted\n" if interrupted else f"{PROGRAM}: terminated\n",
                   130 if interrupted else 143)

    def raise_if_stopped(self) -> None:
        if self._signal is not None:
            raise self._stopping()


def _run_g2p(args: argparse.Namespace) -> int:
    g2p = _make_g2p(args)
    source, owned = _open_input(args)
    try:
        output = open_output(args.output, source.stream)
        try:
            with _StopOnSignal(g2p, source, output) as stop:
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
    progress = Progress(not args.no_progress and sys.stderr.isatty(), source, len(args.words) or None)
    words = pronunciations = from_lexicon = dropped = 0
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
                elif result.problem == CANCELLED:
                    # A stop signal came before the word was decoded.
                    continue
                else:
                    assert result.problem is not None
                    lines += formatter.missing(result)
                    missing[problem_kind(result.problem)] += 1
                    progress.note(f"no pronunciation for {_shown(result.word)}: {result.problem}")
                written += 1
            if lines:
                output.write("\n".join(lines) + "\n")
            now = time.monotonic()
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
    if missing or dropped or progress.enabled:
        parts = [plural(words, "word"), plural(pronunciations, "pronunciation")]
        if g2p.lexicon_path is not None:
            parts.append(f"{plural(from_lexicon, 'word')} from the lexicon")
        if dropped:
            parts.append(f"{plural(dropped, 'word')} with characters left out")
        without = f"{sum(missing.values()):,} without pronunciation"
        if missing:
            without += " (" + ", ".join(f"{kind}: {count:,}" for kind, count in missing.most_common()) + ")"
        parts.append(without)
        sys.stderr.write(f"{PROGRAM}: {', '.join(parts)}\n")
    return 0


def _shown(word: str, limit: int = 40) -> str:
    """The word quoted for a message; a word past ``limit`` characters is cut."""
    return repr(word) if len(word) <= limit else repr(word[:limit]) + "..."


def ipa_unknown(phonemes) -> list[str]:
    from vurel.ipa import unknown_phonemes

    return unknown_phonemes(phonemes)


# info ---------------------------------------------------------------------


def _model_facts(path: str) -> dict[str, object]:
    from vurel import _native
    from vurel.files import check_readable, not_a_model

    try:
        check_readable(path, "model")
        facts = _native.read_model_info(path)
    except OSError as error:
        raise CliError(str(error)) from None
    except ValueError as error:
        raise CliError(str(not_a_model(path, str(error)))) from None
    return {"path": path, "file_size": os.path.getsize(path), **facts}


def _describe_file(facts: dict[str, object]) -> list[str]:
    lines = [
        f"file           {facts['path']} ({facts['file_size']:,} bytes)",
        f"states         {facts['states']:,} ({facts['final_states']:,} final, start {facts['start']})",
        f"arcs           {facts['arcs']:,}",
    ]
    for name in ("input", "output"):
        symbols = facts[f"{name}_symbols"]
        if symbols is None:
            lines.append(f"{name + ' symbols':<15}none (a model needs them)")
            continue
        text = f"{plural(symbols['symbols'], 'symbol')}, {plural(symbols['clusters'], 'cluster')}"
        if symbols["longest_cluster_text"] is not None:
            text += f", the longest {symbols['longest_cluster_text']} ({symbols['longest_cluster']} symbols)"
        lines.append(f"{name + ' symbols':<15}{text}")
    lines.append("arcs sorted    " + ("yes" if facts["arcs_sorted_by_input"] else "no, sorted when loaded"))
    return lines


def _run_info(args: argparse.Namespace) -> int:
    if args.model is not None and args.lang is not None:
        raise CliError("give a model file or --lang, not both")
    if args.lang is not None:
        return _run_language_info(args)
    if args.model is not None:
        facts = _model_facts(args.model)
        if args.json:
            _print(json.dumps(facts, ensure_ascii=False))
        else:
            _print("\n".join(_describe_file(facts)))
        return 0
    from vurel import english_model

    try:
        about = english_model.describe_default_model()
    except english_model.DefaultModelError as error:
        raise CliError(str(error)) from None
    facts = _model_facts(about["path"]) if about["cached"] else None
    if args.json:
        _print(json.dumps({**about, "file": facts}, ensure_ascii=False))
        return 0
    lines = [
        "model          the default English model",
        f"cached at      {about['path']}" + ("" if about["cached"] else " (not yet: trained on first use)"),
        f"made from      {about['made_from']}",
        f"recipe         {about['recipe']}",
        f"measured       {about['measured']}",
    ]
    if facts is not None:
        lines += _describe_file(facts)[1:]
    _print("\n".join(lines))
    return 0


def _language(code: str):
    from vurel import languages

    try:
        return languages.get(code)
    except ValueError as error:
        raise CliError(str(error)) from None


def _run_language_info(args: argparse.Namespace) -> int:
    from vurel import languages

    language = _language(args.lang)
    try:
        if language.code == languages.DEFAULT_LANGUAGE:
            from vurel.english_model import describe_default_model

            about = describe_default_model()
        else:
            about = languages.describe(language)
    except languages.DefaultModelError as error:
        raise CliError(str(error)) from None
    facts = _model_facts(about["path"]) if about["cached"] else None
    if args.json:
        print(json.dumps({**about, "file": facts}, ensure_ascii=False))
        return 0
    lines = [
        f"model          {language.title} ({language.code})",
        f"cached at      {about['path']}" + ("" if about["cached"] else " (not yet: trained on first use)"),
        f"made from      {about['made_from']}",
        f"recipe         {about['recipe']}",
        f"phonemes       {about['notation']}",
        f"measured       {about['measured']}",
    ]
    if facts is not None:
        lines += _describe_file(facts)[1:]
    print("\n".join(lines))
    return 0


def _run_languages(args: argparse.Namespace) -> int:
    from vurel import languages

    rows = []
    for language in languages.LANGUAGES.values():
        try:
            version: str | None = language.data_version()
            cached = language.model_path().is_file()
        except languages.MissingDataError:
            version, cached = None, False
        measured = language.measured
        rows.append({
            "code": language.code, "name": language.name, "package": language.package,
            "installed": version, "install": None if version else language.extra, "cached": cached,
            "notation": language.notation,
            "entries": measured.entries if measured else None,
            "wer": measured.wer if measured else None, "per": measured.per if measured else None,
        })
    if args.json:
        for row in rows:
            print(json.dumps(row, ensure_ascii=False))
        return 0
    print(f"{'code':<5}{'name':<15}{'data':<28}{'model':<8}{'entries':>9}{'WER':>8}{'PER':>8}")
    for row in rows:
        data = f"{row['package']} {row['installed']}" if row["installed"] else row["install"]
        figures = (f"{row['entries']:>9,}{row['wer']:>7.2f}%{row['per']:>7.2f}%" if row["entries"] is not None
                   else f"{'-':>9}{'-':>8}{'-':>8}")
        print(f"{row['code']:<5}{row['name']:<15}{data:<28}{'cached' if row['cached'] else '-':<8}{figures}")
    return 0


# Entry point --------------------------------------------------------------


def _print(text: str) -> None:
    """Writes a line of a command's report to standard output."""
    Output(sys.stdout, "standard output").write(text + "\n")


def _flush_stdout() -> None:
    Output(sys.stdout, "standard output").flush()


def _on_terminate(signum, frame) -> NoReturn:
    raise _Terminated()


def _leave_now(message: str, status: int) -> NoReturn:
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


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    # Unknown options are reported by the command they were given to.
    args, unknown = parser.parse_known_args(arguments)
    if unknown:
        args.command_parser.error("unrecognized arguments: " + " ".join(unknown))
    try:
        sys.stdout.reconfigure(encoding="utf-8", newline="\n")  # type: ignore[union-attr]
    except (AttributeError, ValueError):
        pass
    previous = signal.signal(signal.SIGTERM, _on_terminate)
    try:
        if sys.stdout is None and not (args.command == "g2p" and args.output):
            raise CliError("standard output is closed")
        status = args.handler(args)
        if sys.stdout is not None:
            _flush_stdout()
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
        _leave_now(f"\n{PROGRAM}: interrupted\n", 130)
    except _Terminated:
        _leave_now(f"{PROGRAM}: terminated\n", 143)
    finally:
        signal.signal(signal.SIGTERM, previous)


if __name__ == "__main__":
    sys.exit(main())
