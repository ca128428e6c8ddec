"""Where batches are worked on: in this process, in local worker processes,
or on an existing Dask cluster.  Every runner yields the results in input
order and keeps only a few batches in flight, so memory stays bounded
whatever the input's size."""

import collections
import concurrent.futures
import multiprocessing
import os
import signal
from collections.abc import Callable, Iterator
from typing import Any

from palimp_cli.work import Batch, Done

Task = Callable[[Batch], Done]

# Seconds to wait for a scheduler to answer and for it to have a worker.
CONNECT_SECONDS = 10


class ClusterError(Exception):
    """The cluster cannot do the work; the message says why."""


def default_jobs() -> int:
    """The cores this process may run on."""
    if hasattr(os, "process_cpu_count"):  # Python 3.13
        return os.process_cpu_count() or 1
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def run_here(task: Task, batches: Iterator[Batch]) -> Iterator[Done]:
    for batch in batches:
        yield task(batch)


def _ignore_interrupts() -> None:
    # Ctrl-C reaches the whole process group: the main process alone handles
    # it, and shuts the workers down.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def run_processes(task: Task, batches: Iterator[Batch], jobs: int) -> Iterator[Done]:
    """`jobs` worker processes; input that fits in one batch stays in this
    process, where starting workers would cost more than they save."""
    first = next(batches, None)
    second = next(batches, None)
    if second is None:
        yield from run_here(task, iter([] if first is None else [first]))
        return
    queue = collections.deque([first, second])
    # fork, where there is one: the workers start in milliseconds with palimp
    # already imported.  This process starts no threads, so forking is safe.
    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("fork" if "fork" in methods else None)
    with concurrent.futures.ProcessPoolExecutor(jobs, mp_context=context, initializer=_ignore_interrupts) as pool:
        pending: collections.deque[concurrent.futures.Future[Done]] = collections.deque()
        try:
            for batch in _chain(queue, batches):
                pending.append(pool.submit(task, batch))
                if len(pending) >= 2 * jobs:
                    yield pending.popleft().result()
            while pending:
                yield pending.popleft().result()
        except concurrent.futures.process.BrokenProcessPool:
            raise ClusterError("a worker process ended unexpectedly") from None
        finally:
            for future in pending:
                future.cancel()


def _chain(queue: collections.deque[Batch | None], rest: Iterator[Batch]) -> Iterator[Batch]:
    while queue:
        batch = queue.popleft()
        if batch is not None:
            yield batch
    yield from rest


def run_dask(task: Task, batches: Iterator[Batch], address: str) -> Iterator[Done]:
    """The cluster whose scheduler is at `address`.  Before any work is sent,
    every worker must import palimp; one that cannot is reported by address,
    where a task sent to it would never finish."""
    try:
        from dask.distributed import Client
    except ImportError:
        raise ClusterError("--scheduler needs Dask: pip install 'palimp[dask]'") from None
    try:
        client = Client(address, timeout=CONNECT_SECONDS)  # type: ignore[no-untyped-call]
    except (OSError, TimeoutError) as error:
        raise ClusterError(f"no Dask scheduler answers at {address}: {error}") from None
    with client:
        try:
            client.wait_for_workers(1, timeout=CONNECT_SECONDS)
        except TimeoutError:
            raise ClusterError(f"the Dask cluster at {address} has no worker") from None
        # exec, a builtin, arrives on any worker; a function of this package
        # would not even unpickle where palimp is missing.
        answers = client.run(exec, "import palimp, palimp_cli", on_error="return")
        broken = {worker: answer for worker, answer in answers.items() if isinstance(answer, BaseException)}
        if broken:
            worker, failure = sorted(broken.items())[0]
            raise ClusterError(f"{len(broken)} of {len(answers)} Dask workers cannot import palimp; "
                               f"{worker}: {type(failure).__name__}: {failure}")
        # Work goes to these workers only: a task that reached a worker which
        # joined later without palimp would wait forever.
        workers = sorted(answers)
        pending: collections.deque[Any] = collections.deque()
        try:
            for batch in batches:
                pending.append(client.submit(task, batch, pure=False, workers=workers, allow_other_workers=False))
                if len(pending) >= 2 * len(workers) + 2:
                    yield pending.popleft().result()
            while pending:
                yield pending.popleft().result()
        finally:
            for future in pending:
                future.cancel()
