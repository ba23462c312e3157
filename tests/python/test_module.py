"""What the interpreter sees of vurel._vurel before any decoding: module, classes, docstrings."""

import importlib
import re
import sys
import weakref

import pytest

import vurel
from vurel import _vurel

METHOD_DOCS = {
    "phoneticize": (
        "($self, word)",
        "Returns the top-1 path's phoneme strings.",
    ),
    "phoneticize_paths": (
        "($self, word, nbest=1, beam=10000, threshold=99.0, write_fsts=False, accumulate=False, pmass=99.0)",
        "Returns the n best paths as a list of `PathData`,\n"
        "each with `path_weight`, `path_weights`, `ilabels`, `olabels`, `uniques`.",
    ),
    "phoneticize_sampling": (
        "($self, word, nbest=1, beam=10000, threshold=99.0, pmass=99.0)",
        "Convenience over `phoneticize_paths`: returns each path's phoneme\n"
        "strings (already cluster-decomposed and veto-filtered) instead of\n"
        "raw `PathData`.",
    ),
    "find_isym": ("($self, key)", "Look up an input symbol by name or ID. Mirrors `FindIsym` overloads."),
    "find_osym": ("($self, key)", "Look up an output symbol by name or ID. Mirrors `FindOsym` overloads."),
}


def test_module_attributes():
    assert _vurel.__name__ == "vurel._vurel"
    assert _vurel.__all__ == ["Model", "PathData"]
    assert _vurel.__doc__ == ""
    assert {name for name in dir(_vurel) if not name.startswith("_")} == {"Model", "PathData"}
    assert vurel.Model is _vurel.Model and vurel.PathData is _vurel.PathData


def test_class_names_and_docs():
    for cls, name in ((_vurel.Model, "Model"), (_vurel.PathData, "PathData")):
        assert (cls.__module__, cls.__name__, cls.__qualname__) == ("vurel._vurel", name, name)
    assert _vurel.Model.__text_signature__ == '(path, delim="")'
    assert _vurel.Model.__doc__ == ""
    assert _vurel.PathData.__doc__ is None


def test_method_table():
    names = [name for name, value in vars(_vurel.Model).items() if callable(value) and not name.startswith("__")]
    assert names == list(METHOD_DOCS)
    for name, (signature, doc) in METHOD_DOCS.items():
        method = getattr(_vurel.Model, name)
        assert (method.__text_signature__, method.__doc__) == (signature, doc), name


def test_classes_cannot_be_subclassed():
    for cls in (_vurel.Model, _vurel.PathData):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


def test_path_data_cannot_be_instantiated():
    for args in ((), (1.0, [1])):
        with pytest.raises(TypeError, match="cannot create 'vurel._vurel.PathData' instances"):
            _vurel.PathData(*args)


def test_instances_have_no_dict_and_no_weakrefs(model):
    record = model.phoneticize_paths("ab")[0]
    for instance in (model, record):
        with pytest.raises(AttributeError):
            instance.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(instance)


def test_model_repr_is_the_default(model):
    assert re.fullmatch(r"<vurel\._vurel\.Model object at 0x[0-9a-f]+>", repr(model))


def test_second_import_adds_the_same_classes():
    saved = sys.modules.pop("vurel._vurel")
    try:
        again = importlib.import_module("vurel._vurel")
        assert again is not saved
        assert again.Model is saved.Model and again.PathData is saved.PathData
        assert again.__all__ == ["Model", "PathData"]
    finally:
        sys.modules["vurel._vurel"] = saved
        vurel._vurel = saved
