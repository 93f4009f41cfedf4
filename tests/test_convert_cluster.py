"""tessara-convert --scheduler on real Dask processes on loopback: the bytes
and messages of a local run, workers killed and a scheduler lost in the middle
of a run, every worker lost, a worker without tessara, a worker shared with
another client left as found, Ctrl-C, no temporary file left, a local cluster
on loopback only, addresses where no scheduler answers, Dask imported only
for --scheduler, and the cluster in the build root as the docs start it."""

import contextlib
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
import types
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from jxltools import unavailable
from test_convert import tree  # noqa: F401  (a fixture: PNGs, JPEGs, JPEG XL files with and without JPEG data)
from tessara_pillow.convert import main, one_file, remote
from tessara_pillow.convert.outputs import Outputs
from tessara_pillow.convert.planning import Action, Job, Settings
from tessara_pillow.convert.provenance import RECORDS

try:
    import distributed
except ImportError:
    unavailable("Dask's distributed is not installed")
from tessara_pillow.convert import cluster as dask_pool  # noqa: E402  (after the check: it imports Dask)

rng = np.random.default_rng(19)
# Processes started under the sanitizers (every worker imports the
# instrumented modules, with PYTHONMALLOC=malloc) start and run several
# times slower: the waits for them stretch, what they must do does not.
PATIENCE = 4 if "TESSARA_SANITIZER" in os.environ else 1
SANITIZER_NOTE = re.compile(r"==\d+==WARNING: AddressSanitizer failed to allocate ")
# A worker that cannot import tessara, as on a machine where it is not installed.
HIDE_TESSARA = "import sys; sys.modules['tessara'] = None; from dask.__main__ import main; sys.argv[0] = 'dask'; main()"


def command(*args, cwd=None, env=None):
    return subprocess.Popen([sys.executable, "-m", "tessara_pillow", *map(str, args)], cwd=cwd, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)


def finish(process, timeout=120):
    out, err = process.communicate(timeout=timeout * PATIENCE)
    return process.returncode, out, err


def convert(*args, cwd=None, env=None):
    return finish(command(*args, cwd=cwd, env=env))


def files(root, renamed=(b"", b"")):
    """Every file below root, hidden ones too, with its bytes; the tool's
    records of its outputs as their set of lines (a line comes when its
    output is finished, in any order, and a job run again adds it again),
    with the sources' directory `renamed` (old, new)."""
    return {str(p.relative_to(root)): {line.replace(*renamed) for line in p.read_bytes().splitlines()}
            if p.name == RECORDS else p.read_bytes() for p in sorted(Path(root).rglob("*")) if p.is_file()}


def without_time(err):
    return re.sub(r" in [0-9.:]+ s?$", "", err.strip(), flags=re.M)


@contextlib.contextmanager
def cluster(tmp, workers=2, program=None):
    """A `dask scheduler` and `dask worker` processes on 127.0.0.1 (run in
    another directory than the client), always stopped."""
    tmp.mkdir(exist_ok=True)
    file, processes, log = tmp / "scheduler.json", [], open(tmp / "dask.log", "w")

    def start(kind, *args, program=None):
        head = ["-c", program] if program else ["-m", "dask"]
        processes.append(subprocess.Popen([sys.executable, *head, kind, *map(str, args)], stdout=log, stderr=log,
                                          cwd=tmp))
        return processes[-1]

    try:
        c = types.SimpleNamespace(scheduler=start("scheduler", "--host", "127.0.0.1", "--port", 0, "--no-dashboard",
                                                  "--scheduler-file", file))
        deadline = time.monotonic() + 60 * PATIENCE
        while not file.exists():
            assert c.scheduler.poll() is None and time.monotonic() < deadline, (tmp / "dask.log").read_text()
            time.sleep(0.05)
        with distributed.Client(scheduler_file=str(file), timeout=30) as client:
            c.address = client.scheduler.address
            c.workers = [start("worker", "--scheduler-file", file, "--host", "127.0.0.1", "--nthreads", 1,
                               "--no-nanny", "--no-dashboard", program=program) for _ in range(workers)]
            client.wait_for_workers(workers, timeout=60 * PATIENCE)
        yield c
    finally:
        for process in processes:
            process.kill()
            process.wait()
        log.close()


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    with cluster(tmp_path_factory.mktemp("dask")) as c:
        yield c


def small_files(src, count, side=24):
    src.mkdir()
    for i in range(count):
        Image.fromarray(rng.integers(0, 256, size=(side, side, 3), dtype=np.uint8)).save(src / f"{i:03}.png")


def wait_for_outputs(out, process, count=1):
    deadline = time.monotonic() + 60 * PATIENCE
    while len(list(out.glob("*.jxl"))) < count:
        assert process.poll() is None and time.monotonic() < deadline, "no output appeared"
        time.sleep(0.01)


@pytest.mark.parametrize("where", ["shared", "local:2"])
def test_a_tree_on_the_cluster_gives_the_bytes_and_lines_of_a_local_run(tmp_path, request, tree, where):
    address = request.getfixturevalue("shared").address if where == "shared" else where
    (tree / "photos" / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n" + b"\0" * 40)
    # There and back, with relative paths, which the workers see from another directory.
    local = [convert("tree", "-o", "local", "-j", 2, cwd=tmp_path),
             convert("local", "-o", "local-back", "-j", 2, cwd=tmp_path)]
    remote = [convert("tree", "-o", "remote", "--scheduler", address, cwd=tmp_path),
              convert("remote", "-o", "remote-back", "--scheduler", address, cwd=tmp_path)]
    assert local[0][0] == remote[0][0] == 1 and local[1][0] == remote[1][0] == 0
    for (_, _, here), (_, _, there) in zip(local, remote):
        assert without_time(there) == without_time(here).replace("local", "remote")
    assert "photos/broken.png:" in remote[0][2] and "6 converted, 2 copied, 1 failed" in remote[0][2]
    for name in ("", "-back"):
        want, got = files(tmp_path / f"local{name}", (b"/local/", b"/remote/")), files(tmp_path / f"remote{name}")
        assert len(want) == 8 + 4 and got == want  # names and bytes, records, and no hidden temporary file
    assert files(tmp_path / "remote-back")["photos/a.jpg"] == (tree / "photos/a.jpg").read_bytes()


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
    finished = sorted(p.name for p in out.iterdir() if p.name != RECORDS)
    assert 20 <= len(finished) < 300
    code, _, err = convert(src, "-o", out, "-j", 2)
    assert code == 0 and f"{300 - len(finished)} converted" in err, err
    assert convert(src, "-o", tmp_path / "local", "-j", 2)[0] == 0
    assert files(out) == files(tmp_path / "local")


def test_a_worker_without_tessara_gives_one_line(tmp_path):
    small_files(tmp_path / "src", 2)
    with cluster(tmp_path / "dask", workers=1, program=HIDE_TESSARA) as c:
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


REPO = Path(__file__).resolve().parents[1]
# On a worker, through client.run: Pillow's limit and the count of warnings filters.
WORKER_STATE = "(__import__('PIL.Image').Image.MAX_IMAGE_PIXELS, len(__import__('warnings').filters))"


def test_a_run_leaves_a_shared_worker_as_it_found_it(tmp_path, shared):
    small_files(tmp_path / "src", 3)  # 24x24: 576 pixels each
    with distributed.Client(shared.address, timeout=30) as other:
        # Another client's own policy on the same workers: 200 pixels at most.
        original = other.run(eval, WORKER_STATE)
        other.run(exec, "__import__('PIL.Image').Image.MAX_IMAGE_PIXELS = 200")
        try:
            code, _, err = convert(tmp_path / "src", "-o", tmp_path / "out", "--scheduler", shared.address)
            assert code == 0 and err.startswith("tessara-convert: 3 converted, 0 failed"), err  # --max-pixels, per file
            assert other.run(eval, WORKER_STATE) == {w: (200, filters) for w, (_, filters) in original.items()}
            # and Pillow's check still refuses what that policy refuses
            opened = other.run(lambda path: __import__("PIL.Image").Image.open(path).size,
                               str(tmp_path / "src" / "000.png"), on_error="return")
            assert all(type(e).__name__ == "DecompressionBombError" for e in opened.values()), opened
        finally:
            limit = next(iter(original.values()))[0]
            other.run(exec, f"__import__('PIL.Image').Image.MAX_IMAGE_PIXELS = {limit}")


def test_losing_every_worker_stops_the_run_with_one_line_and_a_rerun_finishes_it(tmp_path, capsys, monkeypatch):
    src, out = tmp_path / "src", tmp_path / "out"
    small_files(src, 300)
    monkeypatch.setattr(dask_pool, "WORKERS_S", 3)  # the start's wait, shortened alike
    with cluster(tmp_path / "dask", workers=1) as c:
        ended = []
        run = threading.Thread(target=lambda: ended.append(main([str(src), "-o", str(out), "--scheduler", c.address])))
        run.start()
        deadline = time.monotonic() + 60 * PATIENCE
        while len(list(out.glob("*.jxl"))) < 20 and time.monotonic() < deadline:
            time.sleep(0.01)
        c.workers[0].kill()
        run.join(timeout=90 * PATIENCE)
        if run.is_alive():  # waits for ever: end it by taking its scheduler away
            c.scheduler.kill()
            run.join()
    _, err = capsys.readouterr()
    lines = err.splitlines()
    assert ended == [1] and len(lines) == 1, err
    assert re.fullmatch(rf"tessara-convert: no worker left on the scheduler at {c.address} for 3 s; stopped with "
                        r"\d+ files finished or more \(running the same command again finishes the others\)", lines[0])
    finished = len([p for p in out.iterdir() if p.name != RECORDS])
    assert 20 <= finished < 300 and not [p for p in out.iterdir() if p.name.startswith(".") and p.name != RECORDS]
    code, _, err = convert(src, "-o", out, "-j", 2)
    assert code == 0 and f"{300 - finished} converted" in err, err
    assert convert(src, "-o", tmp_path / "local", "-j", 2)[0] == 0
    assert files(out) == files(tmp_path / "local")


def answering(kind):
    """A listener on loopback that is no scheduler: it never answers, or
    answers as a web server would."""
    server = socket.create_server(("127.0.0.1", 0))

    def serve():
        with contextlib.suppress(OSError):
            while True:
                connection, _ = server.accept()
                if kind == "web":
                    connection.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n" * 4)
                held.append(connection)

    held = []
    threading.Thread(target=serve, daemon=True).start()
    return server


@pytest.mark.parametrize("kind, reason", [("silent", "it gave no answer in 1 s"),
                                          ("web", "what answers there is not a Dask scheduler")])
def test_a_scheduler_address_where_no_scheduler_answers_gives_one_line(tmp_path, kind, reason):
    small_files(tmp_path / "src", 1)
    with answering(kind) as server:
        address = f"tcp://127.0.0.1:{server.getsockname()[1]}"
        code, _, err = convert(tmp_path / "src", "--scheduler", address,
                               env=os.environ | {"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "1s"})
    # Under the sanitizers Dask's own failed allocation (the web server's
    # "HTTP/1.1" read as a message length) is reported besides MemoryError.
    lines = [line for line in err.splitlines() if not SANITIZER_NOTE.match(line)]
    assert code == 1 and lines == [f"tessara-convert: cannot reach the scheduler at {address}: {reason}"]


def docs_block(heading):
    """The first shell block under a heading of docs/cluster.md."""
    section = (REPO / "docs" / "cluster.md").read_text().split(f"\n## {heading}\n", 1)[1]
    return section.split("```sh\n", 1)[1].split("```", 1)[0]


def test_the_documented_cluster_in_the_build_root_converts_the_users_folder(tmp_path):
    if Path(sys.prefix) != REPO / "build" / "venv" or PATIENCE > 1:
        pytest.skip("runs tools/dev, whose venv (not instrumented) these tests are not running in")
    with socket.create_server(("127.0.0.1", 0)) as probe:
        port = probe.getsockname()[1]
    home = tmp_path / "pictures"
    home.mkdir()
    small_files(home / "photos", 5)
    script = docs_block("A cluster in the build root (`tools/dev`)")
    script = script.replace("~/pictures", str(home)).replace("~/tessara", str(REPO)).replace("8786", str(port))
    with open(tmp_path / "out.log", "w") as out, open(tmp_path / "err.log", "w") as err:
        # The shell's own commands read what follows its line, as typed.
        shell = subprocess.Popen(["bash"], stdin=subprocess.PIPE, stdout=out, stderr=err, text=True,
                                 start_new_session=True, cwd=tmp_path)
        try:
            shell.communicate(script, timeout=240 * PATIENCE)
        finally:
            os.killpg(shell.pid, signal.SIGKILL)  # the scheduler and the worker it left running
    said = (tmp_path / "err.log").read_text()
    assert "tessara-convert: 5 converted, 0 failed" in said, said[-3000:]
    assert sorted(p.name for p in (home / "photos-jxl").iterdir() if p.name != RECORDS) == [f"{i:03}.jxl" for i in range(5)]
