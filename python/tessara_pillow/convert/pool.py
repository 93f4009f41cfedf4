"""How a run's jobs are done: on a pool of threads in this process (the
module releases the interpreter lock, so threads scale). The run hands over
the jobs and the work, and hears of each job as it ends; planning and
reporting know nothing of threads, so another way of running jobs (a cluster)
can offer the same method."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from typing import Protocol

from .planning import Job

Work = Callable[[Job, int], int]  # (job, libjxl threads for it) -> bytes written
Finished = Callable[[Job, int | BaseException], None]  # bytes written, or why it failed


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
            futures: dict[Future[int], Job] = {pool.submit(work, job, threads): job for job in jobs}
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
