"""Worker processes forked from this one, fed and answered over pipes.

A forked worker shares the parent's loaded model and lexicon page by page.
The parent sends each worker its batches and reads back the answers: no
threads on its side (a thread handing work on waits for the GIL, up to
the interpreter's switch interval, while the parent writes output), and
nothing but the batch and its answer is pickled. The parent may read
batches too while every worker has its fill: then one worker fewer is
forked for the same number of readers, and a batch the parent reads costs
no pickling.
"""

from __future__ import annotations

import fcntl
import os
import pickle
import select
import signal
import traceback
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from typing import TypeVar

Job = TypeVar("Job")
Answer = TypeVar("Answer")

_HEADER = 8
# Batches sent to a worker before its first answer comes back: the next
# one waits in its pipe while it works, so it never waits on the parent.
_DEPTH = 2
_READ = 1 << 20
# An answer pipe holds this much, so that a worker need not wait for a
# parent busy with a batch of its own before it writes a large answer.
_ANSWER_PIPE = 1 << 20
_END = object()


class WorkerError(RuntimeError):
    """A worker failed on a batch (the message holds its traceback), or ended."""


def _frame(value: object) -> bytes:
    data = pickle.dumps(value, pickle.HIGHEST_PROTOCOL)
    return len(data).to_bytes(_HEADER, "little") + data


def _serve(requests: int, answers: int, work: Callable) -> None:
    """A worker's loop: a job in, its answer (or the failure) out, until the
    parent closes the pipe."""
    with open(requests, "rb") as incoming, open(answers, "wb") as outgoing:
        while header := incoming.read(_HEADER):
            job = pickle.loads(incoming.read(int.from_bytes(header, "little")))
            try:
                answer = (True, work(job))
            except Exception:
                answer = (False, traceback.format_exc())
            outgoing.write(_frame(answer))
            outgoing.flush()


class _Worker:
    __slots__ = ("pid", "requests", "answers", "unsent", "received", "waiting")

    def __init__(self, pid: int, requests: int, answers: int) -> None:
        self.pid = pid
        self.requests = requests
        self.answers = answers
        self.unsent = bytearray()
        self.received = bytearray()
        # Indices of the jobs sent, in the order their answers will come.
        self.waiting: deque[int] = deque()


def _fork(jobs: int, work: Callable) -> list[_Worker]:
    workers: list[_Worker] = []
    try:
        for _ in range(jobs):
            requests_read, requests_write = os.pipe()
            answers_read, answers_write = os.pipe()
            pid = os.fork()
            if pid == 0:
                status = 1
                try:
                    # The parent decides when the run stops; closing the
                    # other workers' ends lets each see its own pipe's end.
                    signal.signal(signal.SIGINT, signal.SIG_IGN)
                    signal.signal(signal.SIGTERM, signal.SIG_DFL)
                    for fd in [requests_write, answers_read,
                               *(fd for worker in workers for fd in (worker.requests, worker.answers))]:
                        os.close(fd)
                    _serve(requests_read, answers_write, work)
                    status = 0
                finally:
                    os._exit(status)
            os.close(requests_read)
            os.close(answers_write)
            _widen(answers_read)
            os.set_blocking(requests_write, False)
            os.set_blocking(answers_read, False)
            workers.append(_Worker(pid, requests_write, answers_read))
    except BaseException:
        _stop(workers, kill=True)
        raise
    return workers


def _widen(pipe: int) -> None:
    """Asks for a larger buffer for ``pipe``, where the system offers one;
    the default buffer serves otherwise."""
    try:
        fcntl.fcntl(pipe, fcntl.F_SETPIPE_SZ, _ANSWER_PIPE)
    except (AttributeError, OSError):
        pass


def _stop(workers: list[_Worker], kill: bool) -> None:
    """Closes the pipes (a worker ends when its requests end), ends the
    workers at once when ``kill``, and reaps them."""
    for worker in workers:
        os.close(worker.requests)
        os.close(worker.answers)
        if kill:
            try:
                os.kill(worker.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
    for worker in workers:
        os.waitpid(worker.pid, 0)


def _take_answers(worker: _Worker, answers: dict[int, object]) -> None:
    """Reads what the worker's pipe holds; each whole answer goes into
    ``answers`` under its job's index."""
    chunk = os.read(worker.answers, _READ)
    if not chunk:
        raise WorkerError(f"worker process {worker.pid} ended")
    received = worker.received
    received += chunk
    start = 0
    while len(received) - start >= _HEADER:
        size = int.from_bytes(received[start:start + _HEADER], "little")
        if len(received) - start - _HEADER < size:
            break
        done, answer = pickle.loads(received[start + _HEADER:start + _HEADER + size])
        if not done:
            raise WorkerError(f"worker process {worker.pid} failed:\n{answer}")
        answers[worker.waiting.popleft()] = answer
        start += _HEADER + size
    del received[:start]


def forked_map(work: Callable[[Job], Answer], jobs: Iterable[Job], processes: int, *, depth: int = _DEPTH,
               ahead: int | None = None, share: bool = False) -> Iterator[Answer]:
    """``work(job)`` for each job, in order, done by ``processes`` workers
    forked from this process when the first job is taken, and with
    ``share`` by this process too, whenever each worker has its fill. Each
    worker has up to ``depth`` jobs in hand; at most ``ahead`` jobs
    (default two workers' worth each) are sent past the last answer given,
    which bounds the answers held for order. Raises WorkerError when a
    worker fails or ends, and what ``work`` raises here as it is; the
    workers end when the iterator is closed."""
    pending = iter(jobs)
    upcoming = next(pending, _END)
    if upcoming is _END:
        return
    workers = _fork(processes, work)
    finished = False
    try:
        answers: dict[int, object] = {}
        sent = given = 0
        ahead = 2 * depth * (processes + share) if ahead is None else ahead
        while True:
            while upcoming is not _END and sent - given < ahead:
                worker = min(workers, key=lambda worker: len(worker.waiting))
                if len(worker.waiting) >= depth:
                    break
                worker.unsent += _frame(upcoming)
                worker.waiting.append(sent)
                sent += 1
                upcoming = next(pending, _END)
            if given in answers:
                # Given out before waiting again: they may have held jobs back.
                while given in answers:
                    yield answers.pop(given)  # type: ignore[misc]
                    given += 1
                continue
            if given == sent and upcoming is _END:
                finished = True
                return
            working_here = share and upcoming is not _END and sent - given < ahead
            readable, writable, _ = select.select([w.answers for w in workers if w.waiting],
                                                  [w.requests for w in workers if w.unsent], [],
                                                  0 if working_here else None)
            for worker in workers:
                if worker.requests in writable:
                    try:
                        written = os.write(worker.requests, worker.unsent)
                    except BrokenPipeError:
                        raise WorkerError(f"worker process {worker.pid} ended") from None
                    del worker.unsent[:written]
                if worker.answers in readable:
                    _take_answers(worker, answers)
            if working_here and not readable:
                # Every worker has its fill and its answers are read: this
                # process takes the next job.
                answers[sent] = work(upcoming)
                sent += 1
                upcoming = next(pending, _END)
    finally:
        _stop(workers, kill=not finished)
