"""How a run's jobs are done: on a pool of threads in this process (the
module releases the interpreter lock, so threads scale). The run hands over
the jobs and the work, and hears of each job as it ends; planning and
reporting know nothing of threads, so another way of running jobs (a cluster)
can offer the same method."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from typing import NamedTuple, Protocol

from .planning import Job


class Done(NamedTuple):
    """What a job left behind (built-in values only: it travels back from a
    cluster's workers as a plain tuple)."""

    size: int  # bytes written where the job writes: its output, or the original kept instead
    larger: int = 0  # --no-larger: the bytes of the output that was not kept, being larger than its input
    unreadable: str = ""  # a file copied unchanged: why it cannot be read ("" when it can)


Work = Callable[[Job, int], Done]  # (job, libjxl threads for it) -> what it left
Finished = Callable[[Job, Done | BaseException], None]  # what it left, or why it failed


class RunFailed(Exception):
    """The way of running jobs itself broke down (a cluster lost its
    scheduler, say): the run stops, and the message says why in one line."""


class Pool(Protocol):
    def run(self, jobs: Sequence[Job], work: Work, finished: Finished, idle: Callable[[], None],
            abandon: Callable[[], None]) -> None: ...


class ThreadPool:
    def __init__(self, workers: int, name: str, refresh_s: float = 0.2) -> None:
        self.workers, self.name, self.refresh_s = workers, name, refresh_s

    def run(self, jobs: Sequence[Job], work: Work, finished: Finished, idle: Callable[[], None],
            abandon: Callable[[], None]) -> None:
        """Do every job, calling finished() in this thread as each one ends
        (those that end together in source order), and idle() at least every
        refresh_s. An exception from the callbacks cancels the jobs not
        started, calls abandon() (after which no running job may finish its
        output) and waits for those running; an interrupt (BaseException)
        leaves at once, as a libjxl call cannot be stopped."""
        workers = min(self.workers, len(jobs))
        # In a pool each call keeps to its own core; alone it takes them all.
        threads = 0 if workers > 1 else -1
        # Not a with block: leaving it would wait for the threads.
        pool = ThreadPoolExecutor(max(workers, 1), thread_name_prefix=self.name)
        try:
            futures: dict[Future[Done], Job] = {pool.submit(work, job, threads): job for job in jobs}
            pending = set(futures)
            while pending:
                done, pending = wait(pending, timeout=self.refresh_s, return_when=FIRST_COMPLETED)
                for future in sorted(done, key=lambda f: str(futures[f].source)):
                    error = future.exception()
                    finished(futures[future], error if error is not None else future.result())
                idle()
        except Exception:
            pool.shutdown(wait=False, cancel_futures=True)
            abandon()
            pool.shutdown(wait=True)
            raise
        except BaseException:
            pool.shutdown(wait=False, cancel_futures=True)
            raise
        pool.shutdown()
