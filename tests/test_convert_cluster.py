"""tessara-convert --scheduler on real Dask processes on loopback: the bytes
and messages of a local run, workers killed and a scheduler lost in the middle
of a run, a worker without tessara, Ctrl-C, no temporary file left, a local
cluster on loopback only, and Dask imported only for --scheduler."""

import contextlib
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from jxltools import cjxl, unavailable, write_pnm
from tessara_pillow.convert import remote
from tessara_pillow.convert.outputs import Outputs
from tessara_pillow.convert.planning import Action, Job, Settings

try:
    import distributed
except ImportError:
    unavailable("Dask's distributed is not installed")
from tessara_pillow.convert import cluster as dask_pool  # noqa: E402  (after the check: it imports Dask)

rng = np.random.default_rng(19)
# A worker that cannot import tessara, as on a machine where it is not installed.
HIDE_TESSARA = "import sys; sys.modules['tessara'] = None; from dask.__main__ import main; sys.argv[0] = 'dask'; main()"


def command(*args, cwd=None, env=None):
    return subprocess.Popen([sys.executable, "-m", "tessara_pillow", *map(str, args)], cwd=cwd, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)


def finish(process, timeout=120):
    out, err = process.communicate(timeout=timeout)
    return process.returncode, out, err


def convert(*args, cwd=None, env=None):
    return finish(command(*args, cwd=cwd, env=env))


def files(root):
    """Every file below root, hidden ones too, with its bytes."""
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(Path(root).rglob("*")) if p.is_file()}


def without_time(err):
    return re.sub(r" in [0-9.:]+ s?$", "", err.strip(), flags=re.M)


class Cluster:
    """A `dask scheduler` and `dask worker` processes on 127.0.0.1, always stopped."""

    def __init__(self, tmp, workers=2, worker_program=None):
        self.tmp, self.logs = tmp, []
        self.file = tmp / "scheduler.json"
        self.scheduler = self._start("scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                                     "--scheduler-file", self.file)
        deadline = time.monotonic() + 60
        while not self.file.exists():
            assert self.scheduler.poll() is None and time.monotonic() < deadline, self.log()
            time.sleep(0.05)
        with distributed.Client(scheduler_file=str(self.file), timeout=30) as client:
            self.address = client.scheduler.address
            self.workers = [self.add_worker(worker_program) for _ in range(workers)]
            client.wait_for_workers(workers, timeout=60)

    def _start(self, kind, *args, program=None):
        log = open(self.tmp / f"dask-{kind}-{len(self.logs)}.log", "w")
        self.logs.append(log)
        head = [sys.executable, "-c", program] if program else [sys.executable, "-m", "dask"]
        return subprocess.Popen([*head, kind, *map(str, args)], stdout=log, stderr=subprocess.STDOUT,
                                cwd=self.tmp)  # workers run elsewhere than the client

    def add_worker(self, program=None):
        return self._start("worker", "--scheduler-file", self.file, "--host", "127.0.0.1", "--nthreads", 1,
                           "--no-nanny", "--no-dashboard", program=program)

    def log(self):
        return "\n".join(Path(f.name).read_text() for f in self.logs)

    def stop(self):
        for process in [*getattr(self, "workers", []), self.scheduler]:
            if process.poll() is None:
                process.kill()
            process.wait()
        for log in self.logs:
            log.close()


@contextlib.contextmanager
def cluster(tmp, **kwargs):
    tmp.mkdir(exist_ok=True)
    c = None
    try:
        c = Cluster(tmp, **kwargs)
        yield c
    finally:
        if c is not None:
            c.stop()


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    with cluster(tmp_path_factory.mktemp("dask")) as c:
        yield c


@pytest.fixture
def tree(tmp_path):
    """JPEGs, PNGs and JPEG XL files (with and without JPEG reconstruction
    data), nested, and a file that is not an image."""
    src = tmp_path / "tree"
    (src / "a" / "b").mkdir(parents=True)
    for i, mode in enumerate(("RGB", "L", "RGBA")):
        im = Image.fromarray(rng.integers(0, 256, size=(24, 32, len(mode)), dtype=np.uint8).squeeze(), mode)
        im.save(src / "a" / f"p{i}.png")
        if mode != "RGBA":
            im.save(src / "a" / "b" / f"j{i}.jpg", quality=80)
    write_pnm(tmp_path / "e.ppm", rng.integers(0, 256, size=(16, 16, 3), dtype=np.uint8))
    cjxl(tmp_path / "e.ppm", src / "e.jxl", "-d", "0")
    cjxl(src / "a" / "b" / "j0.jpg", src / "a" / "r.jxl", "--lossless_jpeg=1")
    (src / "a" / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n" + b"\0" * 40)
    return src


def small_files(src, count, side=24):
    src.mkdir()
    for i in range(count):
        Image.fromarray(rng.integers(0, 256, size=(side, side, 3), dtype=np.uint8)).save(src / f"{i:03}.png")


def wait_for_outputs(out, process, count=1):
    deadline = time.monotonic() + 60
    while len(list(out.glob("*.jxl"))) < count:
        assert process.poll() is None and time.monotonic() < deadline, "no output appeared"
        time.sleep(0.01)


def test_a_tree_on_the_cluster_gives_the_bytes_and_lines_of_a_local_run(tmp_path, shared, tree):
    # There and back, with relative paths, which the workers see from another directory.
    local = [convert("tree", "-o", "local", "-j", 2, cwd=tmp_path),
             convert("local", "-o", "local-back", "-j", 2, cwd=tmp_path)]
    remote = [convert("tree", "-o", "remote", "--scheduler", shared.address, cwd=tmp_path),
              convert("remote", "-o", "remote-back", "--scheduler", shared.address, cwd=tmp_path)]
    assert local[0][0] == remote[0][0] == 1 and local[1][0] == remote[1][0] == 0
    for (_, _, here), (_, _, there) in zip(local, remote):
        assert without_time(there) == without_time(here).replace("local", "remote")
    assert "a/broken.png:" in remote[0][2] and "5 converted, 2 copied, 1 failed" in remote[0][2]
    for name in ("", "-back"):
        want, got = files(tmp_path / f"local{name}"), files(tmp_path / f"remote{name}")
        assert len(want) == 7 and got == want  # names and bytes, and no hidden temporary file
    assert files(tmp_path / "remote-back")["a/b/j0.jpg"] == (tree / "a/b/j0.jpg").read_bytes()


def test_a_worker_killed_in_a_run_loses_no_file(tmp_path):
    src, out = tmp_path / "src", tmp_path / "out"
    small_files(src, 300)
    assert convert(src, "-o", tmp_path / "local", "-j", 2)[0] == 0
    with cluster(tmp_path / "dask", workers=3) as c:
        run = command(src, "-o", out, "--scheduler", c.address)
        wait_for_outputs(out, run, 30)
        c.workers[0].kill()
        # What a worker killed while writing leaves, unlocked: gone when the run ends.
        (out / ".100.jxl.0123abcd.tmp").write_bytes(b"half")
        code, _, err = finish(run)
    assert code == 0 and err.startswith("tessara-convert: 300 converted, 0 failed;"), err
    assert files(out) == files(tmp_path / "local")


def test_a_lost_scheduler_stops_the_run_with_one_line_and_a_rerun_finishes_it(tmp_path):
    src, out = tmp_path / "src", tmp_path / "out"
    small_files(src, 300)
    with cluster(tmp_path / "dask") as c:
        run = command(src, "-o", out, "--scheduler", c.address)
        wait_for_outputs(out, run, 20)
        c.scheduler.kill()
        code, _, err = finish(run, timeout=60)
        for worker in c.workers:  # what they were converting ends with them
            worker.kill()
    lines = err.splitlines()
    assert code == 1 and len(lines) == 1, err
    assert re.fullmatch(rf"tessara-convert: lost the connection to the scheduler at {c.address}; stopped with \d+ "
                        r"files finished or more \(running the same command again finishes the others\)", lines[0])
    finished = sorted(p.name for p in out.iterdir())
    assert 20 <= len(finished) < 300
    code, _, err = convert(src, "-o", out, "-j", 2)
    assert code == 0 and f"{300 - len(finished)} converted" in err, err
    assert convert(src, "-o", tmp_path / "local", "-j", 2)[0] == 0
    assert files(out) == files(tmp_path / "local")


def test_a_worker_without_tessara_gives_one_line(tmp_path):
    small_files(tmp_path / "src", 2)
    with cluster(tmp_path / "dask", workers=1, worker_program=HIDE_TESSARA) as c:
        code, _, err = convert(tmp_path / "src", "-o", tmp_path / "out", "--scheduler", c.address)
    assert code == 1 and len(err.splitlines()) == 1, err
    assert err.startswith("tessara-convert: the worker at tcp://127.0.0.1:") and "cannot run tessara" in err
    assert not (tmp_path / "out").exists()


def test_ctrl_c_cancels_what_is_queued(tmp_path, shared):
    src, out = tmp_path / "src", tmp_path / "out"
    small_files(src, 300)
    run = command(src, "-o", out, "--scheduler", shared.address)
    wait_for_outputs(out, run, 5)
    run.send_signal(signal.SIGINT)
    code, _, err = finish(run, timeout=60)
    assert code == 130 and err.startswith("tessara-convert: interrupted;"), err
    at_exit = len(list(out.glob("*.jxl")))
    time.sleep(1)
    # The file each of the two workers was converting may still appear, nothing more.
    assert at_exit <= len(list(out.glob("*.jxl"))) <= at_exit + 2 < 300


def test_an_unreachable_scheduler_and_missing_dask_give_one_line(tmp_path):
    small_files(tmp_path / "src", 1)
    # Dask's own setting says how long to try (30 s unless set).
    code, _, err = convert(tmp_path / "src", "--scheduler", "tcp://127.0.0.1:9",
                           env=os.environ | {"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "1s"})
    assert code == 1 and err.startswith("tessara-convert: cannot reach the scheduler at tcp://127.0.0.1:9: ")
    assert len(err.splitlines()) == 1
    hidden = subprocess.run([sys.executable, "-c", "import sys; sys.modules['distributed'] = None; "
                             "from tessara_pillow.convert import main; sys.exit(main(sys.argv[1:]))",
                             tmp_path / "src", "--scheduler", "local:1"], capture_output=True, text=True)
    assert hidden.returncode == 1 and len(hidden.stderr.splitlines()) == 1
    assert "needs Dask's distributed package (pip install tessara[cluster])" in hidden.stderr


def test_without_scheduler_dask_is_never_imported(tmp_path):
    small_files(tmp_path / "src", 2)
    check = ("import sys; import tessara_pillow; from tessara_pillow.convert import main; "
             "assert main([sys.argv[1], '-j', '2']) == 0; "
             "print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')))")
    done = subprocess.run([sys.executable, "-c", check, tmp_path / "src"], capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout == "[]\n", done.stderr


def listening(pids):
    """The addresses (hex, as /proc/net has them) on which these processes listen."""
    sockets = set()
    for pid in pids:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            with contextlib.suppress(OSError):
                sockets.add(os.readlink(f"/proc/{pid}/fd/{fd}").removeprefix("socket:[").removesuffix("]"))
    found = []
    for table in ("tcp", "tcp6"):
        for line in Path(f"/proc/net/{table}").read_text().splitlines()[1:]:
            fields = line.split()
            if fields[3] == "0A" and fields[9] in sockets:  # TCP_LISTEN
                found.append(fields[1].rpartition(":")[0])
    return found


def test_a_local_cluster_listens_on_loopback_only():
    with dask_pool.connected("local:2") as pool:
        workers = pool.client.run(os.getpid)
        addresses = listening([os.getpid(), *workers.values()])
    assert len(workers) == 2 and len(addresses) >= 3  # the scheduler, and each worker
    assert set(addresses) == {"0100007F"}, addresses  # 127.0.0.1


@pytest.mark.parametrize("sizes, threads, shared", [
    ([1000] * 500, 2, True), ([300_000, 10, 10, 200_000] * 20, 1, True),
    ([1000] * 10, 4, False),  # fewer files than threads want tasks
    ([100_000] * 40, 64, False),
])
def test_small_files_share_tasks_that_leave_no_thread_idle(sizes, threads, shared):
    jobs = [Job(Path(f"{i}.png"), Path(f"{i}.jxl"), Action.ENCODE, "JXL", size) for i, size in enumerate(sizes)]
    batches = list(dask_pool.batches(jobs, threads))
    assert [job for batch in batches for job in batch] == jobs
    assert len(batches) >= min(len(jobs), dask_pool.WINDOW_PER_THREAD * threads)
    for batch in batches:
        assert len(batch) == 1 or (len(batch) <= dask_pool.BATCH_FILES and
                                   sum(j.size for j in batch) <= dask_pool.BATCH_BYTES)
    assert (len(batches) < len(jobs)) == shared


@pytest.mark.parametrize("retried, existing, finished", [(True, b"same", True), (True, b"other", False),
                                                          (False, b"same", False)])
def test_a_rerun_job_takes_its_own_finished_output_for_done(tmp_path, retried, existing, finished):
    final = tmp_path / "a.jxl"
    final.write_bytes(existing)
    writing = Outputs(retried=retried).writing(final, overwrite=False)
    if finished:
        with writing as stream:
            stream.write(b"same")
    else:
        with pytest.raises(FileExistsError, match="appeared while it was being written"), writing as stream:
            stream.write(b"same")
    assert final.read_bytes() == existing and os.listdir(tmp_path) == ["a.jxl"]


def test_a_worker_that_cannot_see_an_input_says_so(tmp_path):
    job = Job(tmp_path / "gone.png", tmp_path / "gone.jxl", Action.ENCODE, "JXL", 10)
    [reason] = remote.attempt(remote.Converter(Settings()), [job], 0)
    assert reason.startswith("No such file or directory on ") and "every worker sees" in reason
