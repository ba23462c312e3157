"""Facts about a model file, read straight from its bytes.

The decoder loads a model whole; ``vurel info`` only wants counts, so this
reads OpenFst's binary vector-FST layout with ``struct``: the header, both
symbol tables, then each state's final weight and arc count, reading the arcs
only to check their order. Counts in the file are never used to reserve
memory, so a damaged file fails with a message instead of exhausting memory.
"""

from __future__ import annotations

import os
import struct
import sys
from array import array
from dataclasses import dataclass, field
from typing import BinaryIO

FST_MAGIC = 0x7EB2FDD6
SYMBOL_TABLE_MAGIC = 0x7EB2FB74
I_LABEL_SORTED = 0x10000000
NOT_I_LABEL_SORTED = 0x20000000
_ARC = struct.Struct("<IIfI")  # input label, output label, weight, next state

_ARC_CHUNK = 4096


class ModelFileError(ValueError):
    """The file is not a readable model; the message says where it went wrong."""


@dataclass
class SymbolTableInfo:
    texts: list[str]
    clusters: int = 0
    longest: int = 1
    longest_text: str | None = None


@dataclass
class ModelInfo:
    path: str
    file_size: int
    version: int
    properties: int
    start: int
    states: int
    arcs: int
    final_states: int
    header_arcs: int
    input_symbols: SymbolTableInfo | None
    output_symbols: SymbolTableInfo | None
    input_label_sorted: bool
    sorted_property: str = field(default="unknown")


class _Reader:
    def __init__(self, stream: BinaryIO, size: int) -> None:
        self._stream = stream
        self._remaining = size

    def take(self, count: int, what: str) -> bytes:
        if count < 0 or count > self._remaining:
            raise ModelFileError(f"file ends inside the {what}")
        data = self._stream.read(count)
        if len(data) != count:
            raise ModelFileError(f"file ends inside the {what}")
        self._remaining -= count
        return data

    def unpack(self, fmt: str, what: str) -> tuple:
        return struct.unpack("<" + fmt, self.take(struct.calcsize("<" + fmt), what))

    def string(self, what: str) -> str:
        (length,) = self.unpack("i", what)
        data = self.take(length, what)
        try:
            return data.decode("utf-8")
        except UnicodeDecodeError:
            raise ModelFileError(f"the {what} is not valid UTF-8") from None


def _cluster_stats(table: SymbolTableInfo) -> None:
    """Counts the clusters the way the decoder builds them: a symbol from
    label 2 on whose text holds the tie (the text of label 1) is a cluster,
    standing for the pieces between ties that are symbols themselves."""
    texts = table.texts
    if len(texts) < 3:
        return
    tie = texts[1]
    index = {text: label for label, text in enumerate(texts)}
    for label in range(2, len(texts)):
        text = texts[label]
        if tie not in text:
            continue
        pieces = list(text) if tie == "" else [piece for piece in text.split(tie) if piece]
        length = sum(1 for piece in pieces if piece in index)
        table.clusters += 1
        if table.longest_text is None or length > table.longest:
            table.longest = max(table.longest, length)
            table.longest_text = text


def read_model_info(path: str) -> ModelInfo:
    """Reads the facts of the model file at ``path``. OSError if it cannot be
    opened; ModelFileError if it is not a model file."""
    with open(path, "rb") as stream:
        size = os.fstat(stream.fileno()).st_size
        reader = _Reader(stream, size)
        (magic,) = reader.unpack("i", "header")
        if magic & 0xFFFFFFFF != FST_MAGIC:
            raise ModelFileError("not an OpenFst binary file (bad magic number)")
        fst_type = reader.string("header")
        arc_type = reader.string("header")
        if fst_type != "vector" or arc_type != "standard":
            raise ModelFileError(f"a {fst_type} FST of {arc_type} arcs; models are vector FSTs of standard arcs")
        version, flags, properties, start, states, header_arcs = reader.unpack("iiQqqq", "header")
        if version < 2:
            raise ModelFileError(f"unsupported file version {version}")
        if not 0 <= flags < 8:
            raise ModelFileError(f"bad flags {flags}")
        input_symbols = _read_table(reader, "input") if flags & 1 else None
        output_symbols = _read_table(reader, "output") if flags & 2 else None
        arcs = final_states = 0
        input_label_sorted = True
        for state in range(states):
            final_weight, arc_count = reader.unpack("fq", f"state {state}")
            if final_weight != float("inf"):
                final_states += 1
            if arc_count < 0:
                raise ModelFileError(f"state {state} has a negative arc count")
            arcs += arc_count
            previous = 0
            left = arc_count
            while left:
                batch = min(left, _ARC_CHUNK)
                data = array("I", reader.take(batch * _ARC.size, f"arcs of state {state}"))
                if sys.byteorder == "big":
                    data.byteswap()
                labels = data[0::4]
                if input_label_sorted:
                    if labels[0] < previous or any(a > b for a, b in zip(labels, labels[1:])):
                        input_label_sorted = False
                    previous = labels[-1]
                left -= batch
    if properties & I_LABEL_SORTED:
        sorted_property = "sorted"
    elif properties & NOT_I_LABEL_SORTED:
        sorted_property = "not sorted"
    else:
        sorted_property = "unknown"
    for table in (input_symbols, output_symbols):
        if table is not None:
            _cluster_stats(table)
    return ModelInfo(
        path=path,
        file_size=size,
        version=version,
        properties=properties,
        start=start,
        states=states,
        arcs=arcs,
        final_states=final_states,
        header_arcs=header_arcs,
        input_symbols=input_symbols,
        output_symbols=output_symbols,
        input_label_sorted=input_label_sorted,
        sorted_property=sorted_property,
    )


def _read_table(reader: _Reader, which: str) -> SymbolTableInfo:
    what = f"{which} symbol table"
    (magic,) = reader.unpack("i", what)
    if magic & 0xFFFFFFFF != SYMBOL_TABLE_MAGIC:
        raise ModelFileError(f"bad magic number in the {what}")
    reader.string(what)
    _available, size = reader.unpack("qq", what)
    texts: list[str] = []
    seen: set[str] = set()
    for key in range(max(size, 0)):
        text = reader.string(what)
        (file_key,) = reader.unpack("q", what)
        if file_key != key or text in seen:
            raise ModelFileError(f"the {what} has a hole or a repeated symbol at entry {key}")
        seen.add(text)
        texts.append(text)
    return SymbolTableInfo(texts=texts)
