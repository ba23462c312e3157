"""A Model is bound to the thread that created it."""

import gc
import sys
import threading

import pytest

from conftest import call_in_thread
from vurel import Model, _vurel

SENT = "vurel::python::PyModel is unsendable, but sent to another thread"
DROPPED = "vurel::python::PyModel is unsendable, but is being dropped on another thread"

CALLS = {
    "find_isym": lambda m: m.find_isym("a"),
    "find_osym": lambda m: m.find_osym(3),
    "phoneticize": lambda m: m.phoneticize("ab"),
    "phoneticize_paths": lambda m: m.phoneticize_paths("ab"),
    "phoneticize_sampling": lambda m: m.phoneticize_sampling("ab"),
    # argument values are not looked at before the thread check
    "bad key": lambda m: m.find_isym(1.0),
    "bad nbest": lambda m: m.phoneticize_paths(None, nbest=-1),
}


def _foreign_call_error(model, call):
    caught_as_exception = []

    def run():
        try:
            call(model)
        except Exception as error:  # must not catch the internal-error exception
            caught_as_exception.append(error)

    _, error = call_in_thread(run)
    assert caught_as_exception == []
    return error


@pytest.mark.parametrize("name", CALLS)
def test_call_from_another_thread(model, name):
    error = _foreign_call_error(model, CALLS[name])
    assert isinstance(error, BaseException) and not isinstance(error, Exception)
    assert SENT in str(error)
    assert model.phoneticize("ab") == ["AB"]  # still works on its own thread
    assert model.find_isym("a") == 3


def test_internal_error_type(model):
    first = _foreign_call_error(model, CALLS["find_isym"])
    second = _foreign_call_error(model, CALLS["phoneticize"])
    assert type(first) is type(second)
    assert type(first).__bases__ == (BaseException,)
    assert type(first).__doc__
    assert type(first) not in vars(_vurel).values()
    # the message names both threads after the fixed text
    assert len(str(first)) > len(SENT)


def test_binding_errors_come_before_the_thread_check(model):
    _, error = call_in_thread(model.phoneticize)
    assert type(error) is TypeError
    assert str(error) == "Model.phoneticize() missing 1 required positional argument: 'word'"


def test_dropped_on_another_thread(model_path, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    model = Model(str(model_path))
    holder = [model]
    del model
    _, error = call_in_thread(holder.clear)
    assert error is None
    assert len(reports) == 1
    assert type(reports[0].exc_value) is RuntimeError
    assert str(reports[0].exc_value) == DROPPED


def test_dropped_on_its_own_thread_reports_nothing(model_path, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    model = Model(str(model_path))
    del model
    gc.collect()
    assert reports == []


def test_models_on_different_threads(model_path):
    results = {}

    def work(word):
        own = Model(str(model_path))
        results[word] = [own.phoneticize_sampling(word, nbest=2) for _ in range(50)]

    threads = [threading.Thread(target=work, args=(word,)) for word in ("ab", "abc", "x")]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results["ab"] == [[["AB"], ["A", "B"]]] * 50
    assert results["abc"] == [[["AB", "K"], ["AB", "S"]]] * 50
    assert results["x"] == [[["K", "S"]]] * 50
