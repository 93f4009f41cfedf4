"""tessara-convert: the command line. With no input it runs the
demonstration; with inputs it converts them on a thread pool (or on a Dask
cluster, --scheduler), with a progress line, one line per failure and a
summary."""

from __future__ import annotations

import argparse
import math
import os
import signal
import sys
import tempfile
import threading
import time
import warnings
from collections.abc import Callable, Iterator, Sequence
from contextlib import AbstractContextManager, contextmanager, nullcontext
from dataclasses import dataclass
from pathlib import Path
from types import FrameType
from typing import NoReturn, TextIO

from PIL import Image

from . import demo, libjxl_notes, one_file, planning, remote
from .outputs import Outputs, check_directory, directory_failure, remove_leftovers
from .planning import Action, Job, Plan, Settings
from .pool import Done, Pool, RunFailed, ThreadPool, Work
from .progress import Progress, clock, human_bytes
from .reasons import describe, format_name, printable

PROG = "tessara-convert"
EXIT_FAILED = 1
_REFRESH_S = 0.2  # how often the progress line is brought up to date

DESCRIPTION = """\
Convert images to JPEG XL and back, with tessara (libjxl) and Pillow.

With no INPUT, show what JPEG XL gives: a generated photo-like image is
encoded in every mode, lossless and lossy, and decoded back, a JPEG of it is
transcoded losslessly and rebuilt, and a table gives sizes, speeds and
exactness. The files are kept in a new temporary directory, or in OUTDIR.

Each INPUT is an image file or a directory, searched recursively for image
files (names starting with "." are passed over). Without --to a run goes
one way. To JPEG XL:
  an image Pillow reads (PNG, TIFF, WebP...)  becomes .jxl
  a JPEG       becomes .jxl, transcoded losslessly: the JPEG XL file rebuilds
               the original bit for bit (--quality or --lossless encode its
               pixels instead)
  a JPEG XL    is left alone (copied unchanged with -o)
  an animated GIF, APNG or WebP  becomes an animated .jxl (losslessly but
               from a lossy WebP, which gets quality 75), played as often (a
               GIF's loop 2 counts repeats: 3 plays)
Back, when every input is JPEG XL:
  a JPEG XL    becomes its original JPEG (.jpg, bit for bit) when it carries
               JPEG reconstruction data, and .png otherwise (an animated
               PNG for an animation; --to gif or --to webp for those)
With --to FORMAT every input becomes FORMAT (a JPEG XL made from a JPEG
still rebuilds it for --to jpeg), and an input already in FORMAT is left
alone unless --quality or --lossless ask for a new encoding. Exif, XMP and
the ICC profile are kept: colours stay in their own space (Display P3,
Adobe RGB, HDR...) with their values; CMYK becomes RGB through its
profile."""

EPILOG = """\
Outputs go beside their inputs, or under OUTDIR with the tree of each
directory INPUT mirrored in it. Each is written under a hidden temporary
name and renamed when complete: an interrupted run leaves no partial file,
and running it again finishes the work, since outputs that exist are skipped
(and so are files in an input directory that an earlier run made there).
A file counts as this tool's output only by its record, a line in the hidden
file .tessara-convert-outputs of its directory holding its digest and its
source's, or, for a JPEG, by being the rebuild of a JPEG XL file: anything
else is an original, which is never overwritten, not even with --overwrite.
An output whose input changed since it was made is stale: a line says so,
and --overwrite converts it again.
A file that cannot be converted gives one line on standard error; the others
go on. A JPEG XL output larger than its input gets a line of its own
(--no-larger keeps the original instead). A progress line is shown when
standard error is a terminal.

With --scheduler the files are converted as tasks on a Dask cluster, each
on one core of a worker; planning, progress and the summary stay here, and
the outputs are the same bytes. Inputs and OUTDIR must be on a file system
that every worker sees under the same paths (a shared one, such as NFS), and
every worker needs tessara installed (pip install tessara[cluster] brings
Dask). A worker that dies has its files converted by another; if the
scheduler goes away the run stops, and running it again finishes the rest.

Exit status: 0 when every file was converted (or skipped), 1 when any failed
or the cluster failed, 2 for a usage error, 128 + the signal when interrupted
(130 for Ctrl-C).

Examples:
  tessara-convert                          the demonstration
  tessara-convert photos/                  every image in photos/ to JPEG XL
  tessara-convert photos/ -o photos-jxl/   ... into a mirror tree
  tessara-convert photos-jxl/ -o back/     back: JPEGs bit for bit, the rest PNG
  tessara-convert scan.tif -q 80 -e 9      a small lossy JPEG XL, slow effort
  tessara-convert photos-jxl/ --to webp    JPEG XL files as WebP
  tessara-convert /nfs/photos/ -o /nfs/jxl/ --scheduler tcp://10.0.0.5:8786
                                           ... on a Dask cluster sharing /nfs"""


def _cores() -> int:
    counter = getattr(os, "process_cpu_count", None) or os.cpu_count
    return max(counter() or 1, 1)


def _ranged(kind: type[int] | type[float], low: float, high: float | None) -> Callable[[str], int | float]:
    def parse(text: str) -> int | float:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a{'n integer' if kind is int else ' number'}") from None
        if not low <= value <= (high if high is not None else value):
            top = f" to {high:g}" if high is not None else " or more"
            raise argparse.ArgumentTypeError(f"{text} is not from {low:g}{top}")
        return value

    return parse


def _format(text: str) -> str:
    try:
        return planning.output_format(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _size(text: str) -> tuple[int, int]:
    width, _, height = text.partition("x")
    try:
        return int(width), int(height)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not WIDTHxHEIGHT") from None


def _scheduler(text: str) -> str:
    if text.startswith("local:"):
        try:
            count = int(text.removeprefix("local:"))
        except ValueError:
            count = 0
        if not 1 <= count <= 1024:
            raise argparse.ArgumentTypeError(f"{text!r}: local:N needs N from 1 to 1024 worker processes")
    elif not text.strip():
        raise argparse.ArgumentTypeError("an empty address")
    return text


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=PROG, usage=f"{PROG} [OPTION]... [INPUT]...", description=DESCRIPTION,
                                epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter, add_help=False)
    p.add_argument("inputs", nargs="*", metavar="INPUT", help="image files and directories")
    out = p.add_argument_group("output")
    out.add_argument("-o", "--output-dir", metavar="OUTDIR", type=Path,
                     help="write the outputs under OUTDIR (default: beside each input)")
    out.add_argument("-t", "--to", metavar="FORMAT", type=_format,
                     help="the output format: jxl, png, jpeg, webp, tiff or another Pillow writes")
    out.add_argument("--overwrite", action="store_true",
                     help="replace outputs of earlier runs that exist (default: skip them); a file this tool did not "
                          "make, or that changed since, is never replaced")
    out.add_argument("--keep-extension", action="store_true",
                     help="keep the input's extension in the output's name: photo.jpg -> photo.jpg.jxl, and back "
                          "photo.jpg.jxl -> photo.jpg (for inputs that share a name, as photo.jpg and photo.png)")
    out.add_argument("--no-larger", action="store_true",
                     help="keep the original where the output would be larger than it: copied to OUTDIR, or "
                          "left as it is in place")
    out.add_argument("-n", "--dry-run", action="store_true", help="say what would be done; write nothing")
    enc = p.add_argument_group("encoding")
    quality = enc.add_mutually_exclusive_group()
    quality.add_argument("-q", "--quality", metavar="Q", type=_ranged(float, 0, 100),
                         help="encode pixels at quality Q, 0 to 100 (default 90; for JPEG XL on libjxl's "
                              "scale, where 90 is about cjxl's default)")
    quality.add_argument("--lossless", action="store_true", help="encode pixels losslessly (JPEG XL, WebP)")
    enc.add_argument("-e", "--effort", metavar="N", type=_ranged(int, 1, 10), default=7,
                     help="JPEG XL encoder effort, 1 (fastest) to 10 (smallest) (default 7)")
    enc.add_argument("--decoding-speed", metavar="N", type=_ranged(int, 0, 4), default=0,
                     help="JPEG XL decoding speed, 0 (smallest file) to 4 (fastest) (default 0)")
    enc.add_argument("--progressive", action="store_true",
                     help="JPEG XL pixels coded for progressive decoding: a 1:8 preview early in the file, "
                          "the detail in passes (a few percent larger)")
    run = p.add_argument_group("running")
    run.add_argument("-j", "--jobs", metavar="N", type=_ranged(int, 1, 1024),
                     help=f"files converted at once, each on one core (default: the cores, {_cores()})")
    run.add_argument("--scheduler", metavar="ADDRESS|local:N", type=_scheduler,
                     help="convert on the Dask cluster whose scheduler is at ADDRESS (tcp://host:port, as "
                          "`dask scheduler` prints it), or on a cluster of N worker processes on this machine; "
                          "inputs and OUTDIR must be on a file system every worker sees")
    run.add_argument("--max-pixels", metavar="N", type=_ranged(int, 0, None), default=planning.Settings.max_pixels,
                     help="refuse larger images as possible decompression bombs (default %(default)s, "
                          "Pillow's limit; 0: none)")
    run.add_argument("-v", "--verbose", action="store_true",
                     help="a line for every file converted or skipped, and libjxl's own notes on failures")
    run.add_argument("-h", "--help", action="help", help="show this help and exit")
    run.add_argument("--version", action="version", version=f"{PROG} (tessara {_version()})")
    # For quick tests of the demonstration: a smaller image.
    p.add_argument("--demo-size", type=_size, default=demo.DEFAULT_SIZE, help=argparse.SUPPRESS)
    return p


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("tessara")
    except metadata.PackageNotFoundError:
        return "unknown"


@dataclass
class _Tally:
    converted: int = 0
    kept: int = 0  # originals kept instead of larger outputs
    copied: int = 0
    unreadable: int = 0  # of those copied
    failed: int = 0
    size_in: int = 0
    size_out: int = 0


class _Interrupted(BaseException):
    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


_CAUGHT = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def _raise_interrupted(signum: int, frame: FrameType | None) -> None:
    raise _Interrupted(signum)


@contextmanager
def _signals_interrupt() -> Iterator[None]:
    """Ctrl-C, SIGTERM and SIGHUP interrupt the run in the main thread."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {s: signal.signal(s, _raise_interrupted) for s in _CAUGHT}
    try:
        yield
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)


@contextmanager
def _pillow_quiet() -> Iterator[None]:
    """Pillow's own size check only warns below its limit, and warnings would
    print source lines: planning.check_pixels refuses with one clear line instead."""
    limit = Image.MAX_IMAGE_PIXELS
    Image.MAX_IMAGE_PIXELS = None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            yield
    finally:
        Image.MAX_IMAGE_PIXELS = limit


class _Run:
    def __init__(self, args: argparse.Namespace, settings: Settings) -> None:
        self.args, self.settings = args, settings
        self.out: TextIO = sys.stdout
        self.err: TextIO = sys.stderr
        self.tally = _Tally()
        self.outputs = Outputs()
        self.progress: Progress | None = None
        self.pool: Pool = ThreadPool(args.jobs or _cores(), PROG, _REFRESH_S)
        self.remote = False  # whether the pool's workers are other processes
        self.said: set[str] = set()  # the output directories' failures, said once

    def say(self, text: str, stream: TextIO | None = None) -> None:
        if self.progress:
            self.progress.clear()
        # One line, whatever the names hold (newlines, bytes that are not UTF-8).
        print(printable(text), file=stream or self.out, flush=True)
        if self.progress:
            self.progress.draw(force=True)

    def fail(self, path: Path, reason: str) -> None:
        self.tally.failed += 1
        if self.args.verbose or not directory_failure(reason):
            self.say(f"{PROG}: {path}: {reason}", self.err)
        elif reason not in self.said:
            # One line for the cause, not one for each file that meets it.
            self.said.add(reason)
            self.say(f"{PROG}: {reason} (no file goes there; -v lists them)", self.err)

    def what(self, job: Job) -> str:
        s = self.settings
        kept = "; the original kept if the output is larger" if s.no_larger else ""
        if job.action is Action.TRANSCODE:
            return f"lossless JPEG transcode, effort {s.effort}{kept}"
        if job.action is Action.REBUILD:
            return f"the original JPEG, rebuilt bit for bit{kept}"
        if job.action is Action.COPY:
            return f"copied, already {job.fmt}"
        quality = s.quality if s.quality is not None else one_file.DEFAULT_QUALITY
        kind = "lossless" if s.lossless else f"quality {quality:g}"
        if job.fmt == planning.JXL:
            what = f"pixels, {kind}, effort {s.effort}{', progressive' if s.progressive else ''}"
        else:
            what = f"pixels, {job.fmt} {kind}" if job.fmt in (planning.JPEG, "WEBP") else f"pixels, {job.fmt}"
        return what + kept

    def execute(self, plan: Plan) -> int:
        for problem in plan.failed:
            self.fail(problem.path, problem.reason)
        for problem in plan.skipped:
            if problem.stale:  # said whether -v or not: the user's edit is not converted yet
                self.say(f"{PROG}: {problem.path}: skipped, {problem.reason}", self.err)
        if self.args.verbose or self.args.dry_run:
            for problem in plan.skipped:
                if not problem.stale:
                    self.say(f"{problem.path}: skipped, {problem.reason}")
            for problem in plan.earlier_outputs:
                self.say(f"{problem.path}: {problem.reason}")
        if self.args.dry_run:
            for job in plan.jobs:
                self.say(f"{job.source} -> {job.target} ({self.what(job)})")
            return EXIT_FAILED if plan.failed else 0
        if not (plan.jobs or plan.skipped or plan.failed):
            self.say(f"{PROG}: no image files in {', '.join(self.args.inputs)}", self.err)
            return 0
        if plan.jobs and self.settings.out_dir is not None:
            try:
                check_directory(self.settings.out_dir)
            except OSError as e:
                self.say(f"{PROG}: {describe(e)}; nothing was converted", self.err)
                return EXIT_FAILED
        start = time.monotonic()
        for leftover in remove_leftovers(plan.outputs()):
            if self.args.verbose:
                self.say(f"{leftover}: removed, a temporary file left by an interrupted run")
        if plan.jobs:
            try:
                self._convert(plan.jobs)
            except RunFailed as e:
                if self.progress:
                    self.progress.clear()
                    self.progress = None
                done = self.tally.converted + self.tally.copied
                self.say(f"{PROG}: {e}; stopped with {done} files finished or more (running the same command "
                         "again finishes the others)", self.err)
                return EXIT_FAILED
        self._summary(plan, time.monotonic() - start)
        return EXIT_FAILED if self.tally.failed or self.tally.unreadable else 0

    def _convert(self, todo: list[Job]) -> None:
        self.progress = Progress(len(todo), sum(j.size for j in todo), self.err, self.err.isatty())
        self.progress.draw(force=True)
        settings, outputs, progress = self.settings, self.outputs, self.progress

        def work(job: Job, num_threads: int) -> Done:
            return one_file.run(job, settings, outputs, num_threads)

        elsewhere: Work = remote.Converter(settings)  # picklable, with outputs of each worker's own
        self.pool.run(todo, elsewhere if self.remote else work, self._finished, progress.draw, outputs.abort)
        self.progress.clear()
        self.progress = None

    def _finished(self, job: Job, outcome: Done | BaseException) -> None:
        assert self.progress is not None
        self.progress.advance(job.size)
        if isinstance(outcome, BaseException):
            self.fail(job.source, describe(outcome))
        elif job.action is Action.COPY:
            self.tally.copied += 1
            if outcome.unreadable:
                self.tally.unreadable += 1
                self.say(f"{PROG}: {job.source}: copied unchanged to {job.target}, but it cannot be read: "
                         f"{outcome.unreadable}", self.err)
            elif self.args.verbose:
                self.say(f"{job.source} -> {job.target}: copied, {human_bytes(outcome.size)}")
        elif outcome.larger:
            self.tally.kept += 1
            self.say(self._kept(job, outcome))
        else:
            self.tally.converted += 1
            self.tally.size_in += job.size
            self.tally.size_out += outcome.size
            # Larger JPEG XL is what a user converting to it would not expect,
            # so it has a line even without -v; larger PNG or JPEG going back
            # is the rule.
            larger = outcome.size > job.size
            if self.args.verbose or (larger and job.fmt == planning.JXL):
                line = f"{job.source} -> {job.target}: {human_bytes(job.size)} -> {human_bytes(outcome.size)}"
                if larger:
                    line += f", larger than its input ({_growth(job.size, outcome.size)}; --no-larger keeps the " \
                            "original instead)"
                self.say(line)

    def _kept(self, job: Job, outcome: Done) -> str:
        original = one_file.kept_original(job)
        where = f" -> {original}: copied unchanged" if original is not None else ": kept as it is"
        return (f"{job.source}{where}, {human_bytes(job.size)}; as {format_name(job.fmt)} it would be "
                f"{human_bytes(outcome.larger)} (--no-larger)")

    def _summary(self, plan: Plan, seconds: float) -> None:
        t = self.tally
        parts = [f"{t.converted} converted"]
        if t.kept:
            parts.append(f"{t.kept} kept as they were (--no-larger)")
        if t.copied:
            parts.append(f"{t.copied} copied" + (f" ({t.unreadable} of them unreadable)" if t.unreadable else ""))
        if plan.skipped:
            parts.append(f"{len(plan.skipped)} skipped")
        parts.append(f"{t.failed} failed")
        line = ", ".join(parts)
        if t.size_in:
            change = 100 * (1 - t.size_out / t.size_in)
            saving = f"{change:.1f}% smaller" if change >= 0 else f"{-change:.1f}% larger"
            line += f"; {human_bytes(t.size_in)} -> {human_bytes(t.size_out)} ({saving})"
        line += f" in {seconds:.1f} s" if seconds < 60 else f" in {clock(seconds)}"
        if plan.skipped and not self.args.verbose:
            line += " (-v lists the skipped files)"
        self.say(f"{PROG}: {line}", self.err)

    def interrupted(self, signum: int) -> NoReturn:
        for caught in _CAUGHT:  # a second Ctrl-C must not interrupt the cleaning
            signal.signal(caught, signal.SIG_IGN)
        self.outputs.abort()
        if self.progress:
            self.progress.clear()
        done = self.tally.converted + self.tally.copied
        print(f"{PROG}: interrupted; {done} files were finished, no partial file is left", file=self.err)
        self.err.flush()
        self.out.flush()
        # Worker threads may be inside a long libjxl call, which cannot be
        # stopped; their temporary files are gone and nothing more gets renamed.
        os._exit(128 + signum)


def _settings(args: argparse.Namespace) -> Settings:
    return Settings(to=args.to, quality=args.quality, lossless=args.lossless, effort=args.effort,
                    decoding_speed=args.decoding_speed, progressive=args.progressive, out_dir=args.output_dir,
                    overwrite=args.overwrite, max_pixels=args.max_pixels or None,
                    keep_extension=args.keep_extension, no_larger=args.no_larger)


def _growth(before: int, after: int) -> str:
    ratio = after / before if before else math.inf
    return f"{ratio:.1f} times its size" if ratio >= 2 else f"{100 * (ratio - 1):.0f}% more"


def _demo(args: argparse.Namespace) -> int:
    out = args.output_dir or Path(tempfile.mkdtemp(prefix="tessara-demo-"))
    # tools/dev says how it runs this program, for the line that shows how to view the files.
    command = os.environ.get("TESSARA_CONVERT_COMMAND") or PROG
    try:
        rows = demo.run(out, args.demo_size, command=command, temporary=args.output_dir is None)
    except OSError as e:
        print(printable(f"{PROG}: {describe(e)}"), file=sys.stderr)
        return EXIT_FAILED
    return 0 if all(row.ok for row in rows) else EXIT_FAILED


def _cluster(args: argparse.Namespace) -> AbstractContextManager[Pool | None] | None:
    """The connection to the cluster of --scheduler, when there is one; None
    (having said why) when Dask is not installed. Dask is imported only here."""
    if args.scheduler is None or args.dry_run:
        return nullcontext()
    try:
        from . import cluster
    except ImportError as e:
        if (e.name or "").partition(".")[0] not in ("distributed", "dask"):
            raise
        print(f"{PROG}: --scheduler needs Dask's distributed package (pip install tessara[cluster]): {e}",
              file=sys.stderr)
        return None
    return cluster.connected(args.scheduler, _REFRESH_S)


def main(argv: Sequence[str] | None = None) -> int:
    """tessara-convert with these arguments (default: sys.argv's); returns
    the exit status. Usage errors raise SystemExit(2), as argparse does.

    While a conversion runs, it changes for the whole process, and restores
    when it returns or raises: the handlers of SIGINT, SIGTERM and SIGHUP
    (in the main thread), Image.MAX_IMAGE_PIXELS (None: --max-pixels does
    that check), the warnings filters, and, unless -v is given or sys.stderr
    is not file descriptor 2, file descriptor 2, which goes through a pipe
    that drops libjxl's notes. Two things are not restored: an interrupt ends
    the process (os._exit with 128 + the signal) once the temporary files are
    removed, since libjxl calls in other threads cannot be stopped; and when
    standard output is a closed pipe, file descriptor 1 is left on /dev/null,
    so that the interpreter's exit stays quiet."""
    p = parser()
    args = p.parse_args(argv)
    if args.scheduler and args.jobs:
        p.error("--jobs: with --scheduler each worker converts as many files at once as it has threads")
    if args.to == planning.JPEG and args.lossless:
        p.error("--lossless: JPEG has no lossless mode (a JPEG XL made from a JPEG rebuilds it without it)")
    if not args.inputs:
        if (args.to or args.quality is not None or args.lossless or args.overwrite or args.dry_run or args.scheduler
                or args.keep_extension):
            p.error("conversion options need INPUT files or directories (no INPUT runs the demonstration)")
        try:
            with _signals_interrupt():
                return _demo(args)
        except (KeyboardInterrupt, _Interrupted) as e:
            return 128 + (e.signum if isinstance(e, _Interrupted) else signal.SIGINT)
    run = _Run(args, _settings(args))
    cluster = _cluster(args)
    if cluster is None:
        return EXIT_FAILED
    notes = nullcontext(sys.stderr) if args.verbose else libjxl_notes.without_libjxl_notes(sys.stderr)
    try:
        # The signal handlers last, so that an interrupt always finds the rest in place.
        with _pillow_quiet(), notes as run.err, _signals_interrupt():
            try:
                # The cluster first, so that one that cannot be reached says so at once.
                with cluster as pool:
                    if pool is not None:
                        run.pool, run.remote = pool, True
                    return run.execute(planning.make_plan(args.inputs, run.settings))
            except RunFailed as e:
                run.say(f"{PROG}: {e}", run.err)
                return EXIT_FAILED
            except KeyboardInterrupt:
                run.interrupted(signal.SIGINT)
            except _Interrupted as e:
                run.interrupted(e.signum)
    except (KeyboardInterrupt, _Interrupted) as e:  # while setting up or restoring: nothing was converted
        return 128 + (e.signum if isinstance(e, _Interrupted) else signal.SIGINT)
    except BrokenPipeError:
        # Standard output went away (e.g. piped into head): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 128 + signal.SIGPIPE


if __name__ == "__main__":
    sys.exit(main())
