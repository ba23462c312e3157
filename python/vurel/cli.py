"""The ``vurel`` command: ``g2p`` decodes words, ``info`` describes a model,
``train`` and ``evaluate`` make and measure models."""

from __future__ import annotations

import argparse
import functools
import json
import math
import os
import signal
import sys
import time
from collections.abc import Iterator, Sequence
from concurrent.futures.process import BrokenProcessPool
from typing import BinaryIO, NoReturn, TextIO

from vurel import ipa
from vurel.batch import CASE_CHOICES, DecodeOptions, ModelDecoder, Pronunciation, decode_in_order
from vurel.lexicon import Lexicon, LexiconError, read_lexicon
from vurel.modelinfo import ModelFileError, read_model_info

PROGRAM = "vurel"


class CliError(Exception):
    """An expected failure: reported as one line, exit status 1."""


class _Terminated(BaseException):
    """SIGTERM, turned into an exception so that output is flushed on the way out."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 (one per processor) or more, not {value}")
    return value or (os.cpu_count() or 1)


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
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser, required=True)

    g2p = commands.add_parser(
        "g2p",
        help="predict pronunciations of words",
        description=(
            "Predict pronunciations. Words come from the arguments, from --input FILE, or one per line "
            "from standard input. One output line per pronunciation; a word without any pronunciation "
            "is reported on standard error and counted in the closing summary."
        ),
    )
    g2p.add_argument("words", nargs="*", metavar="WORD", help="words to decode")
    g2p.add_argument("-i", "--input", metavar="FILE", help="read words from FILE, one per line ('-' for standard input)")
    g2p.add_argument("-m", "--model", metavar="PATH", help="model file (default: the English model trained on CMUdict)")
    g2p.add_argument("-n", "--nbest", type=_positive, default=1, help="pronunciations per word (default 1)")
    g2p.add_argument("--beam", type=_positive, default=10000, help="return at most this many pronunciations per word (default 10000)")
    g2p.add_argument(
        "--threshold", type=_number, default=99.0,
        help="drop pronunciations whose weight (normalised with --pmass) is above this (default 99: off)",
    )
    g2p.add_argument(
        "--pmass", type=_number, default=99.0,
        help="normalise weights and stop once the pronunciations cover more than e^-PMASS of the probability mass (default 99: off)",
    )
    g2p.add_argument("--accumulate", action="store_true", help="add up the probabilities of paths that merge")
    g2p.add_argument("--delim", default="", help="split words at this text instead of into characters")
    g2p.add_argument(
        "--case", choices=CASE_CHOICES, default="auto",
        help="fold words to this case before decoding (auto: the case of the model's letters)",
    )
    g2p.add_argument("-f", "--format", choices=("tsv", "dict", "jsonl"), default="tsv", help="output format (default tsv)")
    g2p.add_argument("--ipa", action="store_true", help="also give each pronunciation in IPA (ARPAbet models)")
    g2p.add_argument(
        "--lexicon", metavar="FILE",
        help="CMU dictionary or TSV lexicon whose words take its pronunciations instead of predicted ones",
    )
    g2p.add_argument("-j", "--jobs", type=_jobs, default=1, help="worker processes (0: one per processor)")
    g2p.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of standard output")
    g2p.add_argument("--no-progress", action="store_true", help="never show the progress bar")
    g2p.set_defaults(handler=_run_g2p)

    info = commands.add_parser("info", help="describe a model file", description="Describe a model file.")
    info.add_argument("model", metavar="MODEL", help="model file")
    info.add_argument("--json", action="store_true", help="print the facts as one JSON object")
    info.set_defaults(handler=_run_info)

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
    train.set_defaults(handler=_run_train)

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
    evaluate.set_defaults(handler=_run_evaluate)


def _paths(args: argparse.Namespace, names: tuple[str, str], flags: tuple[str, str]) -> tuple[str, str]:
    """The two files from their options or, as earlier versions took them, as
    two positional arguments in the same order."""
    values = [getattr(args, name) for name in names]
    if args.paths:
        if len(args.paths) != 2 or any(values):
            raise CliError(f"give {flags[0]} and {flags[1]}, or exactly two files")
        return args.paths[0], args.paths[1]
    missing = [flag for flag, value in zip(flags, values) if not value]
    if missing:
        raise CliError("missing " + " and ".join(missing))
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
        print(json.dumps(report))
        return 0
    stress = "yes" if report["one_primary_stress"] else "no"
    print(
        f"entries: {report['entries']} ({report['unalignable']} not alignable, "
        f"{report['skipped_lines']} lines skipped, {report['duplicates']} duplicates)\n"
        f"units: {report['units']}, n-grams: {report['ngrams']}\n"
        f"one primary stress per word: {stress} "
        f"({100 * report['one_primary_stress_share']:.1f}% of the entries have one)\n"
        f"model: {model}: {report['states']} states, {report['arcs']} arcs, {report['bytes']} bytes\n"
        f"time: {report['seconds']:.1f} s"
    )
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
        print(json.dumps(report, ensure_ascii=False))
        return 0
    for error in report.get("errors", ()):
        references = " / ".join(" ".join(reference) for reference in error["references"])
        print(f"{error['word']}\t{' '.join(error['predicted']) or '-'}\t{references}")
    print(
        f"words: {report['words']}, WER: {report['wer']:.2f}%, PER: {report['per']:.2f}%, "
        f"words with unknown letters: {report['words_with_unknown_letters']}"
    )
    return 0


# Reading words ------------------------------------------------------------


class WordSource:
    """The words to decode, read lazily; counts bytes for the progress bar."""

    def __init__(self, words: Sequence[str], stream: BinaryIO | None, name: str) -> None:
        self._words = words
        self._stream = stream
        self.name = name
        self.bytes_read = 0
        self.total_bytes: int | None = None
        if stream is not None:
            try:
                status = os.fstat(stream.fileno())
            except (OSError, ValueError):
                status = None
            if status is not None and status.st_size > 0 and _is_regular(status.st_mode):
                self.total_bytes = status.st_size

    def __iter__(self) -> Iterator[str]:
        if self._stream is None:
            for number, word in enumerate(self._words, start=1):
                try:
                    word.encode("utf-8")
                except UnicodeEncodeError:
                    raise CliError(f"word argument {number} is not valid UTF-8") from None
                yield word
            return
        for number, raw in enumerate(self._stream, start=1):
            self.bytes_read += len(raw)
            try:
                line = raw.decode("utf-8")
            except UnicodeDecodeError as error:
                raise CliError(
                    f"{self.name}:{number}: invalid UTF-8 (byte 0x{raw[error.start]:02x} at column {error.start + 1})"
                ) from None
            if number == 1:
                line = line.removeprefix("\ufeff")
            word = line.strip()
            if word:
                yield word


def _is_regular(mode: int) -> bool:
    import stat

    return stat.S_ISREG(mode)


# Writing pronunciations ---------------------------------------------------


class Formatter:
    """Turns one word's pronunciations into output lines."""

    def __init__(self, layout: str, with_ipa: bool, with_source: bool) -> None:
        self.layout = layout
        self.with_ipa = with_ipa
        self.with_source = with_source
        self.unknown_ipa: list[str] = []

    def _ipa(self, phonemes: list[str]) -> str:
        for phoneme in ipa.unknown_phonemes(phonemes):
            if phoneme not in self.unknown_ipa:
                self.unknown_ipa.append(phoneme)
        return ipa.arpabet_to_ipa(phonemes)

    def lines(self, word: str, pronunciations: list[Pronunciation], from_lexicon: bool) -> list[str]:
        source = "lexicon" if from_lexicon else "model"
        lines = []
        for rank, (weight, phonemes) in enumerate(pronunciations, start=1):
            if self.layout == "tsv":
                columns = [word, f"{weight:.4f}", " ".join(phonemes)]
                if self.with_ipa:
                    columns.append(self._ipa(phonemes))
                if self.with_source:
                    columns.append(source)
                lines.append("\t".join(columns))
            elif self.layout == "dict":
                head = word if rank == 1 else f"{word}({rank})"
                body = self._ipa(phonemes) if self.with_ipa else " ".join(phonemes)
                lines.append(f"{head} {body}")
            else:
                record: dict[str, object] = {
                    "word": word,
                    "rank": rank,
                    "weight": weight if math.isfinite(weight) else None,
                    "phonemes": phonemes,
                }
                if self.with_ipa:
                    record["ipa"] = self._ipa(phonemes)
                record["source"] = source
                lines.append(json.dumps(record, ensure_ascii=False))
        return lines


class Progress:
    """A one-line progress display on a terminal's standard error."""

    def __init__(self, enabled: bool, source: WordSource) -> None:
        self.enabled = enabled
        self._source = source
        self._start = time.monotonic()
        self._last = 0.0
        self._shown = False

    def update(self, words: int, force: bool = False) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if not force and now - self._last < 0.2:
            return
        self._last = now
        rate = words / max(now - self._start, 1e-9)
        text = f"{words:,} words, {rate:,.0f} words/s"
        total = self._source.total_bytes
        if total:
            fraction = min(self._source.bytes_read / total, 1.0)
            filled = int(fraction * 30)
            text = f"[{'#' * filled}{'.' * (30 - filled)}] {fraction:4.0%} {text}"
        sys.stderr.write(f"\r\x1b[K{text}")
        sys.stderr.flush()
        self._shown = True

    def clear(self) -> None:
        if self._shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self._shown = False


def _note(progress: Progress, message: str) -> None:
    progress.clear()
    sys.stderr.write(f"{PROGRAM}: {message}\n")
    sys.stderr.flush()


def _open_input(args: argparse.Namespace) -> tuple[WordSource, BinaryIO | None]:
    if args.words and args.input:
        raise CliError("give words as arguments or with --input, not both")
    if args.words:
        return WordSource(args.words, None, "<arguments>"), None
    if args.input and args.input != "-":
        try:
            stream = open(args.input, "rb")  # noqa: SIM115 - closed by the caller
        except OSError as error:
            raise CliError(f"cannot read {args.input}: {error.strerror or error}") from None
        return WordSource((), stream, args.input), stream
    return WordSource((), sys.stdin.buffer, "<stdin>"), None


def _resolve_model(path: str | None) -> str:
    if path is not None:
        return path
    from vurel import english_model

    try:
        return str(english_model.ensure_default_model())
    except english_model.DefaultModelError as error:
        raise CliError(str(error)) from None


def _load_check(options: DecodeOptions) -> ModelDecoder:
    if not os.path.exists(options.model_path):
        raise CliError(f"model {options.model_path} not found")
    try:
        return ModelDecoder(options)
    except (ValueError, OSError) as error:
        raise CliError(f"cannot load model {options.model_path}: {error}") from None


def _load_lexicon(path: str | None) -> Lexicon | None:
    if path is None:
        return None
    try:
        return read_lexicon(path)
    except OSError as error:
        raise CliError(f"cannot read {path}: {error.strerror or error}") from None
    except LexiconError as error:
        raise CliError(str(error)) from None


def _run_g2p(args: argparse.Namespace) -> int:
    lexicon = _load_lexicon(args.lexicon)
    source, owned = _open_input(args)
    try:
        options = DecodeOptions(
            model_path=_resolve_model(args.model),
            delim=args.delim,
            nbest=args.nbest,
            beam=args.beam,
            threshold=args.threshold,
            pmass=args.pmass,
            accumulate=args.accumulate,
            case=args.case,
        )
        first = _load_check(options)
        if args.jobs == 1:
            factory = lambda: first  # noqa: E731 - the decoder loaded for the check decodes too
        else:
            del first
            factory = functools.partial(ModelDecoder, options)
        output = _open_output(args.output)
        try:
            return _decode_stream(args, source, factory, lexicon, output)
        finally:
            if output is not sys.stdout:
                output.close()
    finally:
        if owned is not None:
            owned.close()


def _open_output(path: str | None) -> TextIO:
    if path is None:
        return sys.stdout
    try:
        return open(path, "w", encoding="utf-8", newline="\n")  # noqa: SIM115 - closed by the caller
    except OSError as error:
        raise CliError(f"cannot write {path}: {error.strerror or error}") from None


def _decode_stream(args, source: WordSource, factory, lexicon: Lexicon | None, output: TextIO) -> int:
    formatter = Formatter(args.format, args.ipa, lexicon is not None)
    progress = Progress(not args.no_progress and sys.stderr.isatty(), source)
    lookup = None
    if lexicon is not None:
        lookup = lambda word: (  # noqa: E731
            None if (entry := lexicon.get(word)) is None else [(0.0, phonemes) for phonemes in entry]
        )
    words = pronunciations = missing = from_lexicon = 0
    # Someone may be waiting for each answer (a terminal, or a program that
    # feeds words through a pipe): then every word is flushed at once.
    # Otherwise output is flushed a few times a second.
    live = output.isatty() or (source.total_bytes is None and not args.words)
    last_flush = time.monotonic()
    try:
        for word, found, known in decode_in_order(source, factory, args.jobs, lookup):
            words += 1
            if found:
                pronunciations += len(found)
                from_lexicon += known
                output.write("".join(line + "\n" for line in formatter.lines(word, found, known)))
            else:
                missing += 1
                _note(progress, f"no pronunciation for {word!r}")
            now = time.monotonic()
            if live or now - last_flush >= 0.25:
                output.flush()
                last_flush = now
            progress.update(words)
    finally:
        try:
            output.flush()
        finally:
            progress.clear()
    if formatter.unknown_ipa:
        _note(progress, "no IPA for phonemes (copied unchanged): " + " ".join(formatter.unknown_ipa))
    if missing or progress.enabled:
        summary = f"{words} words, {pronunciations} pronunciations"
        if lexicon is not None:
            summary += f", {from_lexicon} words from the lexicon"
        summary += f", {missing} without pronunciation"
        _note(progress, summary)
    return 0


# info ---------------------------------------------------------------------


def _run_info(args: argparse.Namespace) -> int:
    try:
        facts = read_model_info(args.model)
    except FileNotFoundError:
        raise CliError(f"model {args.model} not found") from None
    except OSError as error:
        raise CliError(f"cannot read {args.model}: {error.strerror or error}") from None
    except ModelFileError as error:
        raise CliError(f"{args.model} is not a model file: {error}") from None

    def table(symbols) -> dict[str, object] | None:
        if symbols is None:
            return None
        return {
            "symbols": len(symbols.texts),
            "clusters": symbols.clusters,
            "longest_cluster": symbols.longest,
            "longest_cluster_text": symbols.longest_text,
        }

    record = {
        "path": facts.path,
        "file_size": facts.file_size,
        "states": facts.states,
        "final_states": facts.final_states,
        "start": facts.start,
        "arcs": facts.arcs,
        "input_symbols": table(facts.input_symbols),
        "output_symbols": table(facts.output_symbols),
        "arcs_sorted_by_input": facts.input_label_sorted,
        "sorted_property": facts.sorted_property,
    }
    if args.json:
        print(json.dumps(record, ensure_ascii=False))
        return 0
    lines = [
        f"file          {facts.path} ({facts.file_size:,} bytes)",
        f"states        {facts.states:,} ({facts.final_states:,} final, start {facts.start})",
        f"arcs          {facts.arcs:,}",
    ]
    for name, symbols in (("input", facts.input_symbols), ("output", facts.output_symbols)):
        if symbols is None:
            lines.append(f"{name:<6} table  none (a model needs one)")
            continue
        text = f"{len(symbols.texts):,} symbols, {symbols.clusters:,} clusters"
        if symbols.longest_text is not None:
            text += f", longest {symbols.longest} ({symbols.longest_text})"
        lines.append(f"{name:<6} table  {text}")
    sortedness = "yes" if facts.input_label_sorted else "no (sorted when loaded)"
    lines.append(f"sorted        {sortedness}; header says {facts.sorted_property}")
    print("\n".join(lines))
    return 0


# Entry point --------------------------------------------------------------


def _on_terminate(signum, frame) -> NoReturn:
    raise _Terminated()


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    args = parser.parse_args(arguments)
    try:
        sys.stdout.reconfigure(encoding="utf-8", newline="\n")  # type: ignore[union-attr]
    except (AttributeError, ValueError):
        pass
    previous = signal.signal(signal.SIGTERM, _on_terminate)
    try:
        return args.handler(args)
    except CliError as error:
        sys.stderr.write(f"{PROGRAM}: error: {error}\n")
        return 1
    except BrokenPipeError:
        # The reader went away (``| head``): stop quietly, as other filters do.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 141
    except BrokenProcessPool:
        sys.stderr.write(f"{PROGRAM}: error: a worker process ended unexpectedly\n")
        return 1
    except KeyboardInterrupt:
        sys.stderr.write(f"\n{PROGRAM}: interrupted\n")
        return 130
    except _Terminated:
        sys.stderr.write(f"{PROGRAM}: terminated\n")
        return 143
    finally:
        signal.signal(signal.SIGTERM, previous)


if __name__ == "__main__":
    sys.exit(main())
