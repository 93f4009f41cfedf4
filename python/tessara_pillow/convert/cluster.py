"""How a run's jobs are done on a Dask cluster (--scheduler): the same run()
as the local thread pool, so planning and reporting stay on this machine and
know nothing of Dask. Each file is a task (small files share one); a worker
converts it on one of its threads with num_threads=0, one task per core.
Dask reruns the tasks of a worker that dies elsewhere; outputs still appear
whole (outputs.py), and a rerun of a job that had finished its output finds
the same bytes there.

Only the command line's --scheduler imports this module, and with it Dask."""

from __future__ import annotations

import asyncio
import dataclasses
import itertools
import logging
import os
import pickle
import queue
import signal
import threading
import time
import uuid
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import dask.config
import dask.utils
import distributed
from distributed.scheduler import KilledWorker

from . import remote
from .outputs import remove_leftovers
from .planning import Job
from .pool import Done, Finished, RunFailed, Work
from .reasons import Refused, describe

CLOSE_S = 20  # for the client and a local cluster to close
WORKERS_S = 60  # for a worker to join a scheduler that has none, at the start or when all have gone
# Files smaller than this share a task, up to BATCH_FILES of them: a task
# costs the cluster a few milliseconds, as much as converting a small file.
BATCH_BYTES = 256 * 1024
BATCH_FILES = 32
WINDOW_PER_THREAD = 4  # tasks handed to the scheduler at a time
_LOCAL = "local:"
_ANY_PORT = "127.0.0.1:0"
# Dask starts worker processes with MALLOC_TRIM_THRESHOLD_ set, so that the C
# library gives every freed image buffer back to the system: conversions ran
# a fifth slower with it. None unsets it.
_NO_MEMORY_TRIMMING = {"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}
# Dask's own loggers (and those of the libraries under it), kept off the
# terminal while a run uses the cluster: the run says what matters itself.
_LOGGERS = ("distributed", "dask", "tornado", "bokeh", "asyncio")
_QUIET = logging.CRITICAL + 1
# Dask's client side has no annotations: its objects are Any here.
_dask: Any = distributed
_config: Any = dask.config
Future = Any


def local_workers(spec: str) -> int | None:
    """N for "local:N" (ValueError if N is not a count), None for an address."""
    if not spec.startswith(_LOCAL):
        return None
    count = int(spec[len(_LOCAL):])
    if count < 1:
        raise ValueError(spec)
    return count


@contextmanager
def _quiet_logs() -> Iterator[None]:
    manager = logging.root.manager
    names = [n for n in list(manager.loggerDict) if n.split(".")[0] in _LOGGERS] + list(_LOGGERS)
    loggers = [logging.getLogger(n) for n in dict.fromkeys(names)]
    levels = [lg.level for lg in loggers]
    for lg in loggers:
        lg.setLevel(_QUIET)  # children created later inherit it
    try:
        yield
    finally:
        for lg, level in zip(loggers, levels, strict=True):
            lg.setLevel(level)


def _start_resource_tracker() -> None:
    """multiprocessing's resource tracker, a process that outlives the local
    cluster, started with its standard error on /dev/null: on the pipe that
    drops libjxl's notes (libjxl_notes) it would keep that pipe open, and
    the end of the run would wait for it."""
    from multiprocessing import resource_tracker

    saved, devnull = os.dup(2), os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 2)
        resource_tracker.ensure_running()
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


@contextmanager
def _ctrl_c_ignored() -> Iterator[None]:
    """Worker processes started meanwhile ignore SIGINT (an ignored signal
    stays ignored in a new program, and Python then leaves it so): Ctrl-C on
    a terminal reaches the whole process group, and this process alone
    handles it, without a traceback from each worker."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def _reach(spec: str) -> None:
    """RunFailed unless a Dask scheduler answers at `spec` within Dask's
    connect timeout (distributed.comm.timeouts.connect), all told. Asked
    before a Client is made: one that cannot connect takes as long again to
    give up, then seconds to close, and prints a traceback while it does."""
    timeout = dask.utils.parse_timedelta(_config.get("distributed.comm.timeouts.connect"), default="seconds")

    async def identity() -> Any:
        # Dask's own OSError when no connection is made within the timeout.
        comm = await _dask.comm.connect(spec, timeout=timeout,
                                        **_dask.Security().get_connection_args("client"))
        try:
            await comm.write({"op": "identity"})
            return await comm.read()
        finally:
            comm.abort()

    try:
        # A second more, for that OSError to come first where there is one.
        answer = asyncio.run(asyncio.wait_for(identity(), timeout + 1))
    except TimeoutError as e:  # connected, but no answer
        msg = f"cannot reach the scheduler at {spec}: it gave no answer in {timeout:g} s"
        raise RunFailed(msg) from e
    except (OSError, ValueError) as e:  # unreachable, or not an address
        msg = f"cannot reach the scheduler at {spec}: {describe(e)}"
        raise RunFailed(msg) from e
    except Exception as e:  # bytes that are not Dask's (a web server answers there, say)
        answer = e
    if not isinstance(answer, dict) or answer.get("type") != "Scheduler":
        msg = f"cannot reach the scheduler at {spec}: what answers there is not a Dask scheduler"
        raise RunFailed(msg)


@contextmanager
def connected(spec: str, refresh_s: float = 0.2) -> Iterator[DaskPool]:
    """A DaskPool on the scheduler at `spec` ("tcp://host:port"), or on a
    cluster of N worker processes on this machine for "local:N", listening
    on loopback only. RunFailed if it cannot be reached or a worker cannot
    convert. When it ends, the client and a local cluster are closed, and the
    temporary files that dead workers left for the run's outputs removed."""
    with _quiet_logs():
        cluster: Any = None
        pool: DaskPool | None = None
        try:
            count = local_workers(spec)
            try:
                if count is not None:
                    _start_resource_tracker()
                    # No dashboard; the scheduler's health page on a free port of loopback too.
                    with _ctrl_c_ignored(), _config.set(_NO_MEMORY_TRIMMING):
                        cluster = _dask.LocalCluster(
                            n_workers=count, threads_per_worker=1, processes=True, host="127.0.0.1",
                            dashboard_address=None, scheduler_kwargs={"dashboard_address": _ANY_PORT},
                            silence_logs=_QUIET, memory_limit=0)
                else:
                    _reach(spec)
                client = _dask.Client(spec if cluster is None else cluster, set_as_default=False)
            except RunFailed:
                raise
            except Exception as e:
                doing = f"start {count} local workers" if count is not None else f"reach the scheduler at {spec}"
                msg = f"cannot {doing}: {describe(e)}"
                raise RunFailed(msg) from e
            pool = DaskPool(client, spec, refresh_s)
            pool.check_workers()
            if cluster is not None:
                client.run(pickle.loads, remote.packed(remote.quiet))
            yield pool
        finally:
            if pool is not None:
                pool.close()
            if cluster is not None:
                cluster.close(timeout=CLOSE_S)
            if pool is not None:
                remove_leftovers(pool.targets)


def batches(jobs: Sequence[Job], threads: int) -> Iterator[list[Job]]:
    """The jobs in order, in batches of small files (below BATCH_BYTES
    together), never so large that a thread would be left with no task."""
    most = max(1, min(BATCH_FILES, len(jobs) // (WINDOW_PER_THREAD * max(threads, 1))))
    batch: list[Job] = []
    size = 0
    for job in jobs:
        if batch and (size + job.size > BATCH_BYTES or len(batch) >= most):
            yield batch
            batch, size = [], 0
        batch.append(job)
        size += job.size
    if batch:
        yield batch


def _absolute(job: Job) -> Job:
    """Workers run in directories of their own."""
    return dataclasses.replace(job, source=Path(os.path.abspath(job.source)),
                               target=Path(os.path.abspath(job.target)))


class DaskPool:
    def __init__(self, client: Any, spec: str, refresh_s: float) -> None:
        self.client, self.spec, self.refresh_s = client, spec, refresh_s
        self.targets: list[Path] = []  # of every job handed to the cluster

    def check_workers(self) -> None:
        """RunFailed unless there is a worker and each one can convert."""
        try:
            self.client.wait_for_workers(1, timeout=WORKERS_S)
        except TimeoutError:
            msg = f"no worker joined the scheduler at {self.spec} in {WORKERS_S} s"
            raise RunFailed(msg) from None
        answers = self.client.run(pickle.loads, remote.packed(remote.ready), on_error="return")
        for address, answer in sorted(answers.items()):
            if isinstance(answer, BaseException):
                raise self._broken_worker(answer, f"the worker at {address}")

    @staticmethod
    def _broken_worker(error: BaseException, which: str) -> RunFailed:
        return RunFailed(f"{which} cannot run tessara ({describe(error).removeprefix('unexpected ')}); "
                         "every worker needs tessara installed, the same version as here")

    def _lost(self) -> RunFailed:
        return RunFailed(f"lost the connection to the scheduler at {self.spec}")

    def run(self, jobs: Sequence[Job], work: Work, finished: Finished, idle: Callable[[], None],
            abandon: Callable[[], None]) -> None:
        """As ThreadPool.run, with `work` pickled for the workers. The tasks
        go out a window at a time, so that millions of files take no more of
        the scheduler than a few tasks per core; RunFailed when the cluster
        cannot go on (the scheduler is lost, a worker cannot run tessara, no
        worker is left for WORKERS_S)."""
        self.targets.extend(j.target for j in jobs)
        threads = sum(self.client.nthreads().values())
        todo = batches(jobs, threads)
        again: list[list[Job]] = []  # the files of a batch that killed its workers, one a task
        count = itertools.count()
        token = uuid.uuid4().hex[:12]
        running: dict[Future, list[Job]] = {}
        ended: queue.SimpleQueue[Future] = queue.SimpleQueue()
        sized = time.monotonic()
        alone: float | None = None  # since when the scheduler has had no worker

        def submit() -> None:
            nonlocal threads, sized, alone
            if time.monotonic() - sized > 2:  # workers come and go
                threads, sized = sum(self.client.nthreads().values()), time.monotonic()
                alone = None if threads else alone or sized
                if alone is not None and sized - alone >= WORKERS_S:
                    msg = f"no worker left on the scheduler at {self.spec} for {WORKERS_S} s"
                    raise RunFailed(msg)
            room = max(WINDOW_PER_THREAD * threads, 16) - len(running)
            tasks = [*again[:room], *itertools.islice(todo, max(room - len(again), 0))]
            del again[:room]
            if not tasks:
                return
            payloads = [remote.packed(remote.attempt, work, [_absolute(j) for j in batch], 0) for batch in tasks]
            keys = [f"tessara-convert-{token}-{next(count)}" for _ in tasks]
            futures = self.client.map(pickle.loads, payloads, key=keys, pure=False)
            for future, batch in zip(futures, tasks, strict=True):
                running[future] = batch
                future.add_done_callback(ended.put)

        try:
            submit()
            while running:
                outcomes: list[tuple[Job, Done | BaseException]] = []
                for future, outcome in self._outcomes(self._ended(ended)):
                    batch = running.pop(future)
                    if isinstance(outcome, KilledWorker) and len(batch) > 1:
                        again.extend([job] for job in batch)  # which of them was it?
                    elif isinstance(outcome, list):
                        outcomes += zip(batch, outcome, strict=False)
                        if len(outcome) < len(batch):  # its worker stopped half way
                            again.append(batch[len(outcome):])
                    else:
                        outcomes += ((job, self._failure(outcome)) for job in batch)
                for job, result in sorted(outcomes, key=lambda o: str(o[0].source)):
                    finished(job, result)
                submit()
                idle()
        except Exception as e:
            self._cancel(running)
            if isinstance(e, RunFailed):
                raise
            if self.client.status != "running":  # what failed was a call to the scheduler
                raise self._lost() from e
            abandon()
            raise
        except BaseException:
            self._cancel(running)
            raise

    def _ended(self, ended: queue.SimpleQueue[Future]) -> list[Future]:
        """The futures that ended within refresh_s (none, maybe)."""
        try:
            done = [ended.get(timeout=self.refresh_s)]
        except queue.Empty:
            if self.client.status not in ("running", "newly-created"):
                raise self._lost() from None
            return []
        while not ended.empty():
            done.append(ended.get())
        return done

    def _outcomes(self, done: list[Future]) -> list[tuple[Future, list[Done | BaseException] | BaseException]]:
        """Each ended task with what each of its files left or why it failed,
        or the task's own failure; RunFailed for what stops the run."""
        if any(f.status == "cancelled" for f in done):
            raise self._lost()
        good = [f for f in done if f.status == "finished"]
        try:
            results = self.client.gather(good) if good else []
            errors = [(f, f.exception()) for f in done if f.status != "finished"]
        except Exception as e:
            raise self._lost() from e
        outcomes: list[tuple[Future, list[Done | BaseException] | BaseException]] = [
            (f, [Refused(r) if isinstance(r, str) else Done(*r) for r in rs]) for f, rs in zip(good, results, strict=True)]
        return outcomes + [(f, e if e is not None else Refused("the cluster gave no result")) for f, e in errors]

    def _failure(self, error: BaseException) -> BaseException:
        """A task's own failure as its files' (what remote.attempt did not
        catch); RunFailed when it is the worker's."""
        if isinstance(error, ImportError):  # unpickling the task
            raise self._broken_worker(error, "a worker")
        if isinstance(error, KilledWorker):
            return Refused(f"the workers converting it died, {error.allowed_failures + 1} times "
                           "(an input that crashes the converter, or too little memory)")
        return error

    def _cancel(self, running: dict[Future, Any]) -> None:
        """Drop the tasks not done: those queued never start; those running
        finish their outputs whole, or leave none, as their workers go on."""
        if running and self.client.status == "running":
            try:
                self.client.cancel(list(running), force=True)
            except Exception:  # the scheduler went away meanwhile: so did the tasks
                pass

    def close(self) -> None:
        try:
            self.client.close(timeout=CLOSE_S if self.client.status == "running" else 1)
        except Exception:  # a client that lost its scheduler may still be trying
            pass
