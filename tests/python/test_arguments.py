"""Argument binding and conversion: every callable of Model, with its exact messages."""

import math
import pathlib

import numpy
import pytest

from vurel import Model

BINDING_ERRORS = [
    # (callable name, args, kwargs, message)
    ("phoneticize", (), {}, "Model.phoneticize() missing 1 required positional argument: 'word'"),
    ("__new__", (), {}, "Model.__new__() missing 1 required positional argument: 'path'"),
    ("__new__", (), {"delim": ""}, "Model.__new__() missing 1 required positional argument: 'path'"),
    ("phoneticize_paths", ("ab",) * 8, {},
     "Model.phoneticize_paths() takes from 1 to 7 positional arguments but 8 were given"),
    ("phoneticize_sampling", ("ab",) * 6, {},
     "Model.phoneticize_sampling() takes from 1 to 5 positional arguments but 6 were given"),
    ("__new__", ("a", "b", "c"), {}, "Model.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    ("find_isym", (1, 2), {}, "Model.find_isym() takes 1 positional arguments but 2 were given"),
    ("find_osym", (1, 2, 3), {}, "Model.find_osym() takes 1 positional arguments but 3 were given"),
    ("phoneticize", ("ab",), {"word": "ab"}, "Model.phoneticize() got multiple values for argument 'word'"),
    ("phoneticize_paths", ("ab", 1), {"nbest": 2},
     "Model.phoneticize_paths() got multiple values for argument 'nbest'"),
    ("__new__", ("a",), {"path": "a"}, "Model.__new__() got multiple values for argument 'path'"),
    ("phoneticize_sampling", ("ab",), {"write_fsts": True},
     "Model.phoneticize_sampling() got an unexpected keyword argument 'write_fsts'"),
    ("find_osym", (), {"Key": 1}, "Model.find_osym() got an unexpected keyword argument 'Key'"),
    ("__new__", ("a",), {"delimiter": ""}, "Model.__new__() got an unexpected keyword argument 'delimiter'"),
    # binding precedes conversion; keywords are checked in the order given, before the missing one
    ("phoneticize_paths", ("ab",), {"nbest": -1, "bogus": 1},
     "Model.phoneticize_paths() got an unexpected keyword argument 'bogus'"),
    ("phoneticize_paths", (), {"nbest": None, "nbest2": 1},
     "Model.phoneticize_paths() got an unexpected keyword argument 'nbest2'"),
    ("__new__", (), {"delim": 5, "\udc80": 1}, "Model.__new__() got an unexpected keyword argument '\udc80'"),
]


def _call(model, name, args, kwargs):
    if name == "__new__":
        return Model(*args, **kwargs)
    return getattr(model, name)(*args, **kwargs)


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(model, name, args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        _call(model, name, args, kwargs)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message


def test_every_parameter_binds_by_keyword(model):
    by_position = model.phoneticize_paths("ab", 2, 5, 50.0, False, False, 99.0)
    by_keyword = model.phoneticize_paths(pmass=99.0, accumulate=False, write_fsts=False, threshold=50.0,
                                         beam=5, nbest=2, word="ab")
    assert [repr(p) for p in by_keyword] == [repr(p) for p in by_position]
    assert model.phoneticize_sampling(word="ab", nbest=2, beam=5, threshold=50.0, pmass=99.0) == [["AB"], ["A", "B"]]
    assert model.phoneticize(word="ab") == ["AB"]
    assert model.find_isym(key="b") == 4


CONVERSION_ERRORS = [
    # (method, kwargs, exception type, exact message or None when only the prefix is fixed)
    ("phoneticize", {"word": None}, TypeError, "argument 'word': 'None' is not an instance of 'str'"),
    ("phoneticize", {"word": b"ab"}, TypeError, "argument 'word': 'bytes' object is not an instance of 'str'"),
    ("phoneticize_sampling", {"word": 1}, TypeError, "argument 'word': 'int' object is not an instance of 'str'"),
    ("phoneticize_paths", {"word": "ab", "nbest": 2.0}, TypeError,
     "argument 'nbest': 'float' object cannot be interpreted as an integer"),
    ("phoneticize_paths", {"word": "ab", "nbest": None}, TypeError,
     "argument 'nbest': 'NoneType' object cannot be interpreted as an integer"),
    ("phoneticize_sampling", {"word": "ab", "beam": "3"}, TypeError,
     "argument 'beam': 'str' object cannot be interpreted as an integer"),
    ("phoneticize_paths", {"word": "ab", "write_fsts": 1}, TypeError,
     "argument 'write_fsts': 'int' object is not an instance of 'bool'"),
    ("phoneticize_paths", {"word": "ab", "accumulate": None}, TypeError,
     "argument 'accumulate': 'None' is not an instance of 'bool'"),
    ("phoneticize_paths", {"word": "ab", "accumulate": numpy.int64(1)}, TypeError,
     "argument 'accumulate': 'int64' object is not an instance of 'bool'"),
    ("phoneticize_paths", {"word": "ab", "threshold": "x"}, TypeError, None),
    ("phoneticize_sampling", {"word": "ab", "pmass": None}, TypeError, None),
    # OverflowError and UnicodeEncodeError pass through without the prefix
    ("phoneticize_paths", {"word": "ab", "nbest": -1}, OverflowError, None),
    ("phoneticize_sampling", {"word": "ab", "beam": 2**64}, OverflowError, None),
    ("phoneticize_paths", {"word": "ab", "pmass": 10**400}, OverflowError, None),
    ("phoneticize", {"word": "a\ud800"}, UnicodeEncodeError, None),
    # with a bad word and a bad nbest, only the word is reported
    ("phoneticize_paths", {"word": None, "nbest": -1}, TypeError,
     "argument 'word': 'None' is not an instance of 'str'"),
]


@pytest.mark.parametrize("name, kwargs, error, message", CONVERSION_ERRORS)
def test_conversion_errors(model, name, kwargs, error, message):
    with pytest.raises(error) as caught:
        getattr(model, name)(**kwargs)
    assert type(caught.value) is error
    text = str(caught.value)
    if message is not None:
        assert text == message
    elif error is TypeError:
        assert text.startswith(f"argument '{next(reversed(kwargs))}': ")
    else:
        assert not text.startswith("argument")
    if error is TypeError:
        assert caught.value.__cause__ is None


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __float__(self):
        return 1.0


class TypeErrorSubclass(TypeError):
    pass


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


def test_rewrap_keeps_the_cause_and_spares_subclasses(model):
    cause = ValueError("inner cause")
    error = TypeError("no index today")
    error.__cause__ = cause
    with pytest.raises(TypeError) as caught:
        model.phoneticize_paths("ab", nbest=RaisingIndex(error))
    assert str(caught.value) == "argument 'nbest': no index today"
    assert caught.value.__cause__ is cause

    special = TypeErrorSubclass("left alone")
    with pytest.raises(TypeErrorSubclass) as caught:
        model.phoneticize_paths("ab", beam=RaisingIndex(special))
    assert caught.value is special


def test_integer_conversions(model):
    one = [repr(p) for p in model.phoneticize_paths("ab", nbest=1)]
    assert [repr(p) for p in model.phoneticize_paths("ab", nbest=True)] == one
    assert [repr(p) for p in model.phoneticize_paths("ab", nbest=Index(1))] == one
    assert len(model.phoneticize_paths("ab", nbest=numpy.uint8(3))) == 3
    assert model.phoneticize_paths("ab", nbest=0) == []
    assert model.phoneticize_paths("ab", nbest=False) == []
    assert len(model.phoneticize_paths("ab", nbest=3, beam=0)) == 1
    assert len(model.phoneticize_paths("ab", nbest=3, beam=2**64 - 1)) == 3


def test_float_conversions(model):
    both = model.phoneticize_paths("a", nbest=2)
    assert [p.path_weight for p in both] == [1.0, 2.0]
    # threshold 1 (an int) keeps the path of weight exactly 1.0 and skips the other
    assert [p.path_weight for p in model.phoneticize_paths("a", nbest=2, threshold=1)] == [1.0]
    assert [p.path_weight for p in model.phoneticize_paths("a", nbest=2, threshold=Float())] == [1.0]
    assert [p.path_weight for p in model.phoneticize_paths("a", nbest=2, threshold=Index(1))] == [1.0]
    # 1e40 narrows to +inf (rule off), -1e40 to -inf (every path skipped)
    assert len(model.phoneticize_paths("a", nbest=2, threshold=1e40)) == 2
    assert model.phoneticize_paths("a", nbest=2, threshold=-1e40) == []
    # a value just above 99 in double precision stays above 99 as pmass (rule off) ...
    assert len(model.phoneticize_paths("a", nbest=2, pmass=99.0000001)) == 2
    # ... and pmass is not narrowed: 1e40 stays finite and only switches the rule off
    assert len(model.phoneticize_sampling("a", nbest=2, pmass=1e40)) == 2
    # NaN is passed on and counts as off
    assert len(model.phoneticize_paths("a", nbest=2, threshold=math.nan, pmass=math.nan)) == 2


def _fake_numpy_type(name, **members):
    return type(name, (), {"__module__": "numpy", **members})


def test_boolean_conversions(model):
    # "x" has two paths with equal uniques; nbest 2 makes the search read both
    def weights(accumulate):
        return [p.path_weight for p in model.phoneticize_paths("x", nbest=2, accumulate=accumulate)]

    plain, merged = weights(False), weights(True)
    assert plain != merged
    assert weights(numpy.True_) == merged
    assert weights(numpy.bool_(False)) == plain
    assert weights(_fake_numpy_type("bool", __bool__=lambda self: True)()) == merged

    with pytest.raises(TypeError) as caught:
        model.phoneticize_paths("x", write_fsts=_fake_numpy_type("bool_")())
    assert str(caught.value) == (
        "argument 'write_fsts': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion")

    failing = _fake_numpy_type("bool", __bool__=lambda self: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        model.phoneticize_paths("x", accumulate=failing())

    not_numpy = type("bool_", (), {"__module__": "numpyx", "__bool__": lambda self: True})
    with pytest.raises(TypeError) as caught:
        model.phoneticize_paths("x", accumulate=not_numpy())
    assert str(caught.value) == "argument 'accumulate': 'bool_' object is not an instance of 'bool'"


def test_text_conversion_reads_the_contents_of_str_subclasses(model):
    class Text(str):
        def __str__(self):
            return "b"

    assert model.phoneticize(Text("a")) == ["A"]


def test_constructor_arguments(model_path):
    with pytest.raises(TypeError) as caught:
        Model(pathlib.Path(model_path))
    assert str(caught.value) == "argument 'path': 'PosixPath' object is not an instance of 'str'"
    with pytest.raises(TypeError) as caught:
        Model(str(model_path).encode())
    assert str(caught.value) == "argument 'path': 'bytes' object is not an instance of 'str'"
    with pytest.raises(TypeError) as caught:
        Model(str(model_path), delim=None)
    assert str(caught.value) == "argument 'delim': 'None' is not an instance of 'str'"
    for args in (("bad\ud800path",), (str(model_path), "\udfff")):
        with pytest.raises(UnicodeEncodeError):
            Model(*args)
