"""The Python work of the front end for each word, step by step, the decoding left out.

Usage: python bench/front_end_steps.py [--model PATH] [--nbest K] [--words N] [--repeat R]

Decodes the report's N words (bench/report.py's `cmudict_words`) once with
`G2P(lexicon=None, nbest=K)`, then times, over the same words, the front end's own steps
that hold the interpreter's lock beside the decoder: `_prepare` (spelling and lexicon
checks), `_finish` (making the pronunciations from the decoder's answer) and the command
line's TSV `Formatter.lines`. Prints the best of R runs of each, in microseconds a word.
"""

import argparse
import timeit

from report import cmudict_words

from vurel import G2P
from vurel.cli.formats import Formatter


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", help="model file (default: the English model)")
    parser.add_argument("--nbest", type=int, default=5)
    parser.add_argument("--words", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=30)
    args = parser.parse_args()

    words = cmudict_words(args.words)
    g2p = G2P(args.model, lexicon=None, nbest=args.nbest)
    prepared = [g2p._prepare(word) for word in words]
    answers = g2p._decoder.decode_many([item[0] for item in prepared], **g2p._options)
    def finish():
        return [g2p._finish(word, item[1], answer) for word, item, answer in zip(words, prepared, answers)]

    results = finish()
    formatter = Formatter("tsv")

    steps = {
        "_prepare": lambda: [g2p._prepare(word) for word in words],
        "_finish": finish,
        "Formatter.lines (tsv)": lambda: [formatter.lines(result) for result in results],
    }
    for name, step in steps.items():
        best = min(timeit.repeat(step, number=1, repeat=args.repeat))
        print(f"{name:24} {best / len(words) * 1e6:6.2f} us a word")


if __name__ == "__main__":
    main()
