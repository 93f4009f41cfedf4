"""What a cluster's workers run for a conversion; Dask is imported only to
ask whether a task is still wanted.

The scheduler in between holds every task and, in current Dask, unpickles it;
it has Dask but need not have tessara. So a task is `pickle.loads` of a few
bytes whose unpickling makes the call here (`Call.__reduce__`), and it gives
back only built-in values: what a job left (pool.Done as a plain tuple), or
the one line that says why a file failed, described on the worker with the
same words as a local run. A worker without tessara fails while unpickling,
with ModuleNotFoundError.

A worker may be shared with other people's tasks, so nothing here changes
the state of its process: --max-pixels is applied to each image as it is
opened (opening.py), and Pillow's settings and the warnings filters stay as
they are."""

from __future__ import annotations

import os
import pickle
import socket
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from . import one_file
from .outputs import Outputs
from .planning import Job, Settings
from .pool import Done
from .reasons import describe

# All tasks of this worker process. A job may run a second time after the
# worker that ran it died, maybe having finished its output already.
_OUTPUTS = Outputs(retried=True)


@dataclass(frozen=True)
class Converter:
    """One file's conversion, picklable (the closure of a local run is not)."""

    settings: Settings

    def __call__(self, job: Job, num_threads: int) -> Done:
        return one_file.run(job, self.settings, _OUTPUTS, num_threads)


def quiet() -> None:
    """For the workers of a local cluster (local:N), processes of the run
    alone, which share its terminal: Pillow's warnings stay off it, as in a
    local run."""
    warnings.filterwarnings("ignore", module=r"(PIL|tessara_pillow)(\.|$)")


def attempt(work: Callable[[Job, int], Done], jobs: list[Job], num_threads: int) -> list[tuple[int, int, str] | str]:
    """work(job, num_threads) for each job: what it left, or why it failed;
    fewer when the task stops being wanted half way."""
    results: list[tuple[int, int, str] | str] = []
    for job in jobs:
        if results and not _still_wanted():
            break
        results.append(_attempt(work, job, num_threads))
    return results


def _still_wanted() -> bool:
    """False once the client cancelled the task running this (Ctrl-C) or
    the worker is closing (its scheduler went away): the files not begun
    are then left alone, to a later run, which a late output here would
    otherwise find appearing under it."""
    try:
        from distributed import get_worker

        worker: Any = get_worker()
        if worker.status.name in ("closing", "closed", "failed", "stopping", "stopped"):
            return False
        task = worker.state.tasks.get(worker.get_current_task())
        return task is None or task.state != "cancelled"
    except Exception:  # not in a Dask task, or a Dask that keeps this elsewhere
        return True


def _attempt(work: Callable[[Job, int], Done], job: Job, num_threads: int) -> tuple[int, int, str] | str:
    try:
        done = work(job, num_threads)
        return done.size, done.larger, done.unreadable
    except Exception as e:
        if isinstance(e, FileNotFoundError) and not os.path.exists(job.source):
            return (f"{describe(e)} on {socket.gethostname()}, the worker's machine (inputs and OUTDIR must be "
                    "on a file system every worker sees)")
        return describe(e)


def ready() -> str:
    """What a worker answers when it can convert: its machine's name."""
    return socket.gethostname()


class Call:
    """A call made where it is unpickled."""

    def __init__(self, function: Callable[..., Any], *args: Any) -> None:
        self.function, self.args = function, args

    def __reduce__(self) -> tuple[Callable[..., Any], tuple[Any, ...]]:
        return self.function, self.args


def packed(function: Callable[..., Any], *args: Any) -> bytes:
    """function(*args) as bytes that make the call when pickle.loads reads them."""
    return pickle.dumps(Call(function, *args), protocol=pickle.HIGHEST_PROTOCOL)
