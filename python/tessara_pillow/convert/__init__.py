"""tessara-convert, the command-line converter built on the plug-in: the
command line (cli), what a run will do (planning), one file's conversion
(one_file), outputs that appear whole (outputs), the jobs run on threads
(pool) or on a Dask cluster (cluster, and remote on its workers), the
progress line (progress), libjxl's notes on standard error (libjxl_notes)
and the demonstration with its picture (demo, scene)."""

from .cli import main

__all__ = ["main"]
