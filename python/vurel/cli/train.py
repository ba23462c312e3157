"""``vurel train`` makes a model from a pronunciation dictionary and
``vurel evaluate`` measures one on a dictionary."""

from __future__ import annotations

import argparse
import json
import os
import re
import sys
import tempfile
import time

from vurel.cli import arguments
from vurel.cli.errors import PROGRAM, CliError, UsageError
from vurel.cli.streams import flush_stdout, plural, print_line
from vurel.files import check_readable, not_a_model


def register(commands) -> None:
    """Adds ``train`` and ``evaluate`` to the subcommands ``commands``."""
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
    options.add_argument("--order", type=arguments.positive, default=9, help="n-gram order (default 9)")
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
    options.add_argument("--iterations", type=arguments.positive, default=30, help="most EM iterations (default 30)")
    options.add_argument("--alternatives", type=arguments.positive, default=1,
                         help="segmentations counted per entry, each by its share (default 1)")
    options.add_argument("--align-stress", action="store_true",
                         help="let stress digits take part in the alignment")
    options.add_argument("--primary-stress", choices=("auto", "one", "any"), default="auto",
                         help="one primary stress per pronunciation; auto: when 95%% of the entries have one")
    train.add_argument("-q", "--quiet", action="store_true", help="no progress messages")
    train.add_argument("--json", action="store_true", help="print the report as one JSON object")
    train.set_defaults(handler=run_train, command_parser=train)

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
    evaluate.add_argument("-m", "--model", metavar="MODEL",
                          help="model file (default: the model of --lang, or the default English model)")
    evaluate.add_argument("-l", "--lang", metavar="CODE", type=arguments.language,
                          help="measure this language's model (see vurel languages)")
    evaluate.add_argument("-d", "--dict", dest="dictionary", metavar="FILE", help="pronunciation dictionary")
    _add_dictionary_options(evaluate)
    evaluate.add_argument(
        "--case", choices=("auto", "keep", "lower", "upper"), default="auto",
        help="fold the dictionary's words to this case before decoding, as vurel g2p does "
             "(auto: the case of the model's letters)",
    )
    evaluate.add_argument("--errors", action="store_true", help="list the words decoded wrongly")
    evaluate.add_argument("--json", action="store_true", help="print the report as one JSON object")
    evaluate.set_defaults(handler=run_evaluate, command_parser=evaluate)


def _add_dictionary_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("dictionary")
    group.add_argument("--format", choices=("auto", "cmu", "tsv"), default="auto",
                       help="dictionary format; auto: TSV when the first entry has a tab, else CMU (default auto)")
    group.add_argument("--skip-malformed", action="store_true", help="skip and count malformed lines")
    group.add_argument("--strip-stress", action="store_true", help="remove stress digits from phonemes")


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


def run_train(args: argparse.Namespace) -> int:
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
            f"{plural(report['skipped_lines'], 'line')} skipped, {plural(report['duplicates'], 'duplicate')})\n"
            f"units: {report['units']}, n-grams: {report['ngrams']}\n"
            f"one primary stress per word: {stress} "
            f"({100 * report['one_primary_stress_share']:.1f}% of the entries have one)\n"
            f"model: {model}: {report['states']} states, {report['arcs']} arcs, {report['bytes']} bytes\n"
            f"time: {report['seconds']:.1f} s"
        )
    try:
        print_line(text)
        flush_stdout()
    except CliError as error:
        raise CliError(f"{error} (the model {model} is written)") from None
    return 0


def run_evaluate(args: argparse.Namespace) -> int:
    from vurel.training import evaluate

    model, dictionary = _evaluated_files(args)
    case = _model_case(model) if args.case == "auto" else args.case
    with tempfile.TemporaryDirectory(prefix="vurel-evaluate-") as directory:
        folded = _folded_dictionary(dictionary, case, args.format, os.path.join(directory, "dictionary"))
        try:
            report = evaluate(model, folded or dictionary, format=args.format, skip_malformed=args.skip_malformed,
                              strip_stress=args.strip_stress, errors=args.errors)
        except (OSError, ValueError, RuntimeError) as error:
            # Messages name the file the user gave, not its folded copy.
            message = str(error) if folded is None else str(error).replace(folded, dictionary)
            raise CliError(message) from None
    if args.json:
        print_line(json.dumps(report, ensure_ascii=False))
        return 0
    for error in report.get("errors", ()):
        references = " / ".join(" ".join(reference) for reference in error["references"])
        print_line(f"{error['word']}\t{' '.join(error['predicted']) or '-'}\t{references}")
    print_line(
        f"words: {report['words']}, WER: {report['wer']:.2f}%, PER: {report['per']:.2f}%, "
        f"words with unknown letters: {report['words_with_unknown_letters']}"
    )
    return 0


def _evaluated_files(args: argparse.Namespace) -> tuple[str, str]:
    """The model and the dictionary: two positional files, or --dict with
    the model of --model, of --lang, or else the default English model."""
    if args.paths or args.model is not None:
        if args.lang is not None:
            raise UsageError("give --model or --lang, not both")
        return _paths(args, ("model", "dictionary"), ("--model MODEL", "--dict FILE"))
    if not args.dictionary:
        raise UsageError("missing --dict FILE")
    from vurel import languages

    try:
        model = languages.ensure_model(languages.get(args.lang or languages.DEFAULT_LANGUAGE))
    except languages.DefaultModelError as error:
        raise CliError(str(error)) from None
    return str(model), args.dictionary


def _model_case(path: str) -> str:
    """The case of the model's letters, as ``vurel g2p --case auto`` finds
    it. A file that is not a model fails here, named."""
    from vurel import _native
    from vurel.g2p import letter_case

    try:
        check_readable(path, "model")
        return letter_case(_native.Decoder(path).letters())
    except OSError as error:
        raise CliError(str(error)) from None
    except ValueError as error:
        raise CliError(str(not_a_model(path, str(error)))) from None


def _folded_dictionary(path: str, case: str, layout: str, copy: str) -> str | None:
    """Writes to ``copy`` the dictionary at ``path`` with each entry's word
    folded to ``case``, line for line, so that messages keep their line
    numbers; returns ``copy``, or None when folding changes nothing. The
    word is what the reader takes for one: up to the tab in a TSV line, up
    to the first space or tab in a CMU one, the format ``auto`` being the
    first entry's, as the reader has it."""
    if case == "keep":
        return None
    fold = str.lower if case == "lower" else str.upper
    changed = False
    tsv = {"tsv": True, "cmu": False}.get(layout)
    try:
        check_readable(path, "dictionary")
        with open(path, encoding="utf-8", errors="surrogateescape", newline="") as source, \
                open(copy, "w", encoding="utf-8", errors="surrogateescape", newline="") as folded:
            for line in source:
                if tsv is None and line.strip() and not line.startswith(";;;"):
                    tsv = "\t" in line
                word, separator, rest = line.partition("\t") if tsv else _split_cmu_word(line)
                word = fold(word)
                if not changed and word + separator + rest != line:
                    changed = True
                folded.write(word + separator + rest)
    except FileNotFoundError as error:
        raise CliError(str(error)) from None
    except OSError as error:
        raise CliError(f"cannot read {path}: {error.strerror or error}") from None
    return copy if changed else None


_CMU_WORD = re.compile(r"[ \t]*[^ \t\r\n]*")


def _split_cmu_word(line: str) -> tuple[str, str, str]:
    end = _CMU_WORD.match(line).end()
    return line[:end], "", line[end:]
