"""``vurel info`` describes a model and ``vurel languages`` lists the
languages with their data and figures."""

from __future__ import annotations

import argparse
import json
import os

from vurel.cli import arguments
from vurel.cli.errors import CliError, UsageError
from vurel.cli.streams import plural, print_line


def register(commands) -> None:
    """Adds ``info`` and ``languages`` to the subcommands ``commands``."""
    info = commands.add_parser(
        "info", help="describe a model file", description="Describe a model file, or without one the default model."
    )
    info.add_argument("model", metavar="MODEL", nargs="?", help="model file (default: the default English model)")
    info.add_argument("-l", "--lang", metavar="CODE", type=arguments.language, help="describe this language's model instead (see vurel languages)")
    info.add_argument("--json", action="store_true", help="print the facts as one JSON object")
    info.set_defaults(handler=run_info, command_parser=info)

    languages = commands.add_parser(
        "languages", help="list the languages and their data",
        description="List every language: code, name, whether its data package is installed, whether its model "
                    "is cached, and its measured figures (entries, held-out WER and PER).",
    )
    languages.add_argument("--json", action="store_true", help="print one JSON object per language")
    languages.set_defaults(handler=run_languages)


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


def run_info(args: argparse.Namespace) -> int:
    if args.model is not None and args.lang is not None:
        raise UsageError("give a model file or --lang, not both")
    if args.lang is not None:
        return _run_language_info(args)
    if args.model is not None:
        facts = _model_facts(args.model)
        if args.json:
            print_line(json.dumps(facts, ensure_ascii=False))
        else:
            print_line("\n".join(_describe_file(facts)))
        return 0
    from vurel import english_model

    try:
        about = english_model.describe_default_model()
    except english_model.DefaultModelError as error:
        raise CliError(str(error)) from None
    facts = _model_facts(about["path"]) if about["cached"] else None
    if args.json:
        print_line(json.dumps({**about, "file": facts}, ensure_ascii=False))
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
    print_line("\n".join(lines))
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


def run_languages(args: argparse.Namespace) -> int:
    from vurel import languages

    rows = []
    for language in languages.LANGUAGES.values():
        try:
            version: str | None = language.data_version()
            cached = language.model_path().is_file()
        except languages.MissingDataError:
            version, cached = None, False
        rows.append({
            "code": language.code, "name": language.name, "package": language.package,
            "installed": version, "install": None if version else language.extra, "cached": cached,
            "notation": language.notation,
            **languages.figures(language),
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
