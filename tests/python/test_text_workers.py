"""The forked workers behind `vurel text --jobs`: order, failures, and no process left behind."""

import os
import signal
import time

import pytest

from vurel.text.workers import WorkerError, forked_map

pytestmark = pytest.mark.skipif(not os.path.exists("/proc/self/task"), reason="workers are forked; /proc lists them")


@pytest.fixture(autouse=True)
def no_hang():
    """A run that waits forever fails the test instead."""
    def give_up(signum, frame):
        raise TimeoutError("forked_map hung")

    previous = signal.signal(signal.SIGALRM, give_up)
    signal.alarm(30)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


def children() -> set[str]:
    """This process's children, reaped or not (a zombie is still listed)."""
    return {pid for task in os.listdir("/proc/self/task")
            for pid in open(f"/proc/self/task/{task}/children").read().split()}


@pytest.fixture
def assert_no_children():
    """Checks that the workers a test started are ended and reaped."""
    before = children()

    def check():
        left = children() - before
        assert not left, f"workers left behind: {left}"

    return check


def slow_first(job):
    # Every later job is answered while the first is still read: the parent
    # holds a full window of answers and must send more after giving them.
    if job == 0:
        time.sleep(0.3)
    return job * 2


def tripled(job):
    return job * 3


# Jobs and answers far past a pipe's buffer, both ways at once.
BIG = ["x" * 300_000 + str(n) for n in range(6)]


@pytest.mark.parametrize("work, jobs, processes, options, expected", [
    (slow_first, range(40), 2, {}, [job * 2 for job in range(40)]),
    # Each answer given leaves nothing in flight: the parent must send the
    # next job before it waits again.
    (slow_first, range(5), 1, {"depth": 1, "ahead": 1}, [job * 2 for job in range(5)]),
    (tripled, BIG, 2, {}, [job * 3 for job in BIG]),
    (slow_first, [], 2, {}, []),
], ids=["answers-held-for-order", "nothing-in-flight", "payloads-past-pipe-buffers", "no-jobs"])
def test_answers_come_in_the_order_of_the_jobs(work, jobs, processes, options, expected, assert_no_children):
    assert list(forked_map(work, jobs, processes, **options)) == expected
    assert_no_children()


def with_reader(job):
    # Slow enough that the parent finds every worker with its fill.
    time.sleep(0.01)
    return job, os.getpid()


@pytest.mark.parametrize("processes, depth", [(1, 2), (2, 1)], ids=["one-worker", "two-workers-depth-one"])
def test_a_sharing_parent_reads_jobs_too_in_order(processes, depth, assert_no_children):
    answers = list(forked_map(with_reader, range(30), processes, depth=depth, share=True))
    assert [job for job, _ in answers] == list(range(30))
    readers = {pid for _, pid in answers}
    assert os.getpid() in readers and len(readers) == processes + 1
    assert_no_children()


def fails_on_three(job):
    if job == 3:
        raise ValueError("job three is bad")
    return job


def dies_on_three(job):
    if job == 3:
        os._exit(7)
    return job


@pytest.mark.parametrize("work, message", [
    (fails_on_three, "ValueError: job three is bad"),
    (dies_on_three, "ended"),
])
def test_a_failing_worker_is_an_error_and_ends_the_others(work, message, assert_no_children):
    with pytest.raises(WorkerError, match=message):
        list(forked_map(work, range(20), 2))
    assert_no_children()


def fails_here(job):
    if job >= 3 and os.getpid() == PARENT:
        raise ValueError("failed in the parent")
    time.sleep(0.01)
    return job


PARENT = os.getpid()


def test_a_job_failing_in_a_sharing_parent_raises_as_it_is_and_ends_the_workers(assert_no_children):
    with pytest.raises(ValueError, match="failed in the parent"):
        list(forked_map(fails_here, range(40), 1, share=True))
    assert_no_children()


def test_leaving_early_ends_the_workers(assert_no_children):
    answers = forked_map(slow_first, range(1000), 2)
    assert next(answers) == 0
    answers.close()
    assert_no_children()
