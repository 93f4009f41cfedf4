"""Photo-like test images made at run time, and the files the command-line
tools read: smooth shading at several scales, hard-edged shapes, fine
texture and sensor noise, so that the coders see edges, gradients and noise
as in a photograph rather than a flat or purely random field."""

from __future__ import annotations

import io
import struct
from pathlib import Path

import numpy as np
from PIL import Image


def size_for(megapixels: float) -> tuple[int, int]:
    """A 3:2 frame of about `megapixels` million pixels, even sides."""
    width = int((megapixels * 1e6 * 1.5) ** 0.5) // 2 * 2
    height = int(megapixels * 1e6 / width) // 2 * 2
    return max(width, 16), max(height, 16)


def scene(width: int, height: int, channels: int, seed: int = 7) -> np.ndarray:
    """Float32 samples in 0..1, shape (height, width, channels)."""
    rng = np.random.default_rng(seed)
    y = np.linspace(0.0, 1.0, height, dtype=np.float32)[:, None]
    x = np.linspace(0.0, width / height, width, dtype=np.float32)[None, :]
    out = np.empty((height, width, channels), np.float32)
    for c in range(channels):
        v = np.full((height, width), 0.45, np.float32)
        # Shading: a few waves from sky-like to texture-like scales.
        for scale in (1.5, 4.0, 11.0, 37.0):
            a, b, phase = rng.normal(size=2) * scale, rng.uniform(0, 6.3), rng.uniform(0, 6.3)
            v += np.float32(0.5 / scale**0.6) * np.sin(a[0] * x + a[1] * y + phase + b).astype(np.float32) * 0.4
        out[..., c] = v
    # Objects: discs and boxes with their own colour and a soft gradient.
    for _ in range(12):
        cx, cy = rng.uniform(0, width / height), rng.uniform(0, 1)
        r = rng.uniform(0.03, 0.2)
        colour = rng.uniform(0.05, 0.95, channels).astype(np.float32)
        if rng.random() < 0.5:
            mask = (x - cx) ** 2 + (y - cy) ** 2 < r * r
        else:
            mask = (np.abs(x - cx) < r) & (np.abs(y - cy) < r * 0.6)
        shade = (1.0 - 0.3 * (y - cy) / r).astype(np.float32)
        for c in range(channels):
            out[..., c] = np.where(mask, colour[c] * shade, out[..., c])
    # Fine texture (foliage, fabric) over the lower half, fading in.
    texture = _texture(rng, height, width) * np.clip((y - 0.4) * 3.0, 0.0, 1.0)
    out += texture[..., None]
    out += rng.normal(0.0, 0.012, out.shape).astype(np.float32)  # sensor noise
    return np.clip(out, 0.0, 1.0, out=out)


def _texture(rng: np.random.Generator, height: int, width: int) -> np.ndarray:
    """Band-limited noise: coarse random values, repeated 3x and box-blurred."""
    coarse = rng.normal(0.0, 0.09, (height // 3 + 2, width // 3 + 2)).astype(np.float32)
    fine = np.repeat(np.repeat(coarse, 3, axis=0), 3, axis=1)[:height, :width]
    blurred = fine.copy()
    blurred[1:] += fine[:-1]
    blurred[:, 1:] += fine[:, :-1]
    return blurred / np.float32(3.0)


def quantize(samples: np.ndarray, dtype: type) -> np.ndarray:
    if dtype == np.float32:
        return samples.astype(np.float32)
    top = np.iinfo(dtype).max
    return (samples * top + 0.5).astype(dtype)


def with_alpha(rgb: np.ndarray) -> np.ndarray:
    """RGB plus an alpha channel: opaque with a soft vignette and a hole."""
    h, w, _ = rgb.shape
    yy, xx = np.ogrid[0:h, 0:w]
    d = ((xx - w / 2) / w) ** 2 + ((yy - h / 2) / h) ** 2
    alpha = np.clip(1.6 - 4.0 * d, 0.0, 1.0).astype(np.float32)
    alpha[(xx - w * 0.7) ** 2 + (yy - h * 0.3) ** 2 < (h * 0.08) ** 2] = 0.0
    return np.concatenate([rgb, alpha[..., None]], axis=-1)


def write_netpbm(path: Path, pixels: np.ndarray) -> None:
    """PPM/PGM (8 or 16 bits), PAM with alpha, or PFM for floats, as cjxl reads them."""
    if pixels.ndim == 2:
        pixels = pixels[..., None]
    h, w, c = pixels.shape
    if pixels.dtype == np.float32:
        # PFM: bottom row first, a negative scale for little-endian.
        kind = "PF" if c == 3 else "Pf"
        body = np.ascontiguousarray(pixels[::-1]).astype("<f4").tobytes()
        path.write_bytes(f"{kind}\n{w} {h}\n-1.0\n".encode() + body)
        return
    maxval = np.iinfo(pixels.dtype).max
    body = pixels.astype(">u2" if maxval > 255 else "u1").tobytes()
    if c in (1, 3):
        header = f"{'P5' if c == 1 else 'P6'}\n{w} {h}\n{maxval}\n"
    else:
        tupl = "GRAYSCALE_ALPHA" if c == 2 else "RGB_ALPHA"
        header = f"P7\nWIDTH {w}\nHEIGHT {h}\nDEPTH {c}\nMAXVAL {maxval}\nTUPLTYPE {tupl}\nENDHDR\n"
    path.write_bytes(header.encode() + body)


def jpeg_bytes(rgb8: np.ndarray, quality: int = 90) -> bytes:
    out = io.BytesIO()
    Image.fromarray(rgb8, "RGB").save(out, "JPEG", quality=quality)
    return out.getvalue()


def _s15_16(value: float) -> bytes:
    return struct.pack(">i", int(round(value * 65536)))


def _xyz_tag(xyz: np.ndarray) -> bytes:
    return b"XYZ " + bytes(4) + b"".join(_s15_16(v) for v in xyz)


_BRADFORD = np.array([[0.8951, 0.2664, -0.1614], [-0.7502, 1.7135, 0.0367], [0.0389, -0.0685, 1.0296]])
_D50 = np.array([0.9642, 1.0, 0.8249])


def rgb_profile(name: str, primaries: list[tuple[float, float]], white: tuple[float, float],
                gamma: float) -> bytes:
    """An ICC v2 display profile LittleCMS reads: RGB primaries and white
    point (CIE xy), one gamma for the three curves, the colorants adapted to
    the D50 connection space by Bradford as ICC wants them."""
    def xyz(x: float, y: float) -> np.ndarray:
        return np.array([x / y, 1.0, (1 - x - y) / y])

    rgb = np.column_stack([xyz(*p) for p in primaries])
    w = xyz(*white)
    to_white = rgb * np.linalg.solve(rgb, w)
    adapt = np.linalg.inv(_BRADFORD) @ np.diag((_BRADFORD @ _D50) / (_BRADFORD @ w)) @ _BRADFORD
    colorants = adapt @ to_white
    text = name.encode()
    desc = b"desc" + bytes(4) + struct.pack(">I", len(text) + 1) + text + b"\0" + bytes(4 + 2 + 1 + 67)
    curve = b"curv" + bytes(4) + struct.pack(">IH", 1, int(round(gamma * 256)))
    tags = [(b"desc", desc), (b"cprt", b"text" + bytes(4) + b"none\0"), (b"wtpt", _xyz_tag(_D50)),
            (b"rXYZ", _xyz_tag(colorants[:, 0])), (b"gXYZ", _xyz_tag(colorants[:, 1])),
            (b"bXYZ", _xyz_tag(colorants[:, 2])), (b"rTRC", curve), (b"gTRC", curve), (b"bTRC", curve)]
    offset = 128 + 4 + 12 * len(tags)
    table, body = struct.pack(">I", len(tags)), b""
    for signature, data in tags:
        data += bytes(-len(data) % 4)
        table += struct.pack(">4sII", signature, offset + len(body), len(data))
        body += data
    header = struct.pack(">I4sI4s4s4s12s4s4sIIQI", offset + len(body), b"lcms", 0x02100000, b"mntr", b"RGB ",
                         b"XYZ ", bytes(12), b"acsp", b"APPL", 0, 0, 0, 0)
    header += bytes(4) + b"".join(_s15_16(v) for v in _D50) + bytes(4 + 16 + 28)  # intent 0, D50
    assert len(header) == 128
    return header + table + body


# Profiles libjxl cannot express as a colour encoding when a file carries
# them: a lossy file in one decodes through libjxl's colour management.
ADOBE_RGB = rgb_profile("Adobe RGB (1998), for tests", [(0.64, 0.33), (0.21, 0.71), (0.15, 0.06)],
                        (0.3127, 0.3290), 563 / 256)
PROPHOTO_RGB = rgb_profile("ProPhoto RGB, for tests", [(0.7347, 0.2653), (0.1596, 0.8404), (0.0366, 0.0001)],
                           (0.3457, 0.3585), 1.8)
