"""One large call in a fresh interpreter, for its peak resident memory.

    python peak_memory.py module decode FILE
    python peak_memory.py arrays decode FILE      (tessara_pillow.decode_array)
    python peak_memory.py plugin decode FILE
    python peak_memory.py plugin frames FILE      (every frame of an animation, in turn)
    python peak_memory.py module encode PIXELS MODE WIDTH HEIGHT QUALITY EFFORT
    python peak_memory.py plugin encode NETPBM MODE WIDTH HEIGHT QUALITY EFFORT

Prints "BASELINE PEAK" in KiB: the process's peak resident memory just
before the call (imports done; for the module the input already in memory,
as the call needs it; for the plug-in only the Pillow image to save, read from a PPM file, while
the file it opens is read by the plug-in itself and counts against it) and
just after it, with the result still held."""

from __future__ import annotations

import io
import resource
import sys


def peak_kib() -> int:
    # VmHWM belongs to this program's own memory map. ru_maxrss would not
    # do: Linux carries it over exec from the process that forked us, here
    # the benchmark holding its large test images.
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def main(argv: list[str]) -> None:
    layer, op, path, *rest = argv
    import tessara
    from PIL import Image

    import tessara_pillow

    result: object
    if op == "frames":
        from PIL import ImageSequence

        base = peak_kib()
        with Image.open(path) as im:
            for frame in ImageSequence.Iterator(im):
                frame.load()
            result = im.n_frames
    elif op == "decode":
        if layer == "arrays":
            with open(path, "rb") as f:
                data = f.read()
            base = peak_kib()
            result = tessara_pillow.decode_array(data)
        elif layer == "module":
            with open(path, "rb") as f:
                data = f.read()
            base = peak_kib()
            result = tessara.Decoder()(data)
        else:
            base = peak_kib()
            im = Image.open(path)
            im.load()
            result = im
    else:
        mode, width, height, quality, effort = rest[0], int(rest[1]), int(rest[2]), float(rest[3]), int(rest[4])
        if layer == "module":
            with open(path, "rb") as f:
                data = f.read()
            base = peak_kib()
            result = tessara.Encoder(mode, quality=quality, effort=effort)(data, width, height, False)
        else:
            # Read by Pillow in small blocks, so no full-size copy of the
            # file stays in the peak before the call.
            im = Image.open(path)
            im.load()
            if (im.mode, im.size) != (mode, (width, height)):
                raise SystemExit(f"{path} is {im.mode} {im.size}")
            base = peak_kib()
            out = io.BytesIO()
            im.save(out, "JXL", quality=quality, effort=effort)
            result = out
    print(base, peak_kib())
    del result


if __name__ == "__main__":
    main(sys.argv[1:])
