"""A photo-like test image made from a seed: a landscape with sky, clouds,
mountains, a hill with trees and sensor grain, built in floating point so
that its 16-bit and float versions carry real detail below 8 bits.

Pillow alone draws it (value noise from upscaled random images, ImageMath for
the arithmetic), so it is the same everywhere and needs no image file."""

from __future__ import annotations

import random
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from PIL import Image, ImageDraw, ImageMath

_BICUBIC = Image.Resampling.BICUBIC
Polygon = list[tuple[float, float]]  # also a skyline, from left to right


@dataclass(frozen=True)
class Scene:
    """The same picture in the modes a JPEG XL file can hold."""

    rgb: Image.Image  # 8-bit colour
    alpha: Image.Image  # "L": the land opaque, the sky transparent
    grey: Image.Image  # "F": luminance, 0.0 to 1.0

    def in_mode(self, mode: str) -> Image.Image:
        """The picture as "L", "LA", "RGB", "RGBA", "I;16" or "F"."""
        if mode == "RGB":
            return self.rgb
        if mode == "RGBA":
            return Image.merge("RGBA", (*self.rgb.split(), self.alpha))
        if mode == "F":
            return self.grey
        if mode == "I;16":
            return self.grey.point(lambda v: v * 65535 + 0.5).convert("I").convert("I;16")
        grey8 = self.grey.point(lambda v: v * 255 + 0.5).convert("L")
        if mode == "L":
            return grey8
        if mode == "LA":
            return Image.merge("LA", (grey8, self.alpha))
        msg = f"no scene in mode {mode}"
        raise ValueError(msg)


def _math(fn: Callable[..., Any], *images: Image.Image) -> Image.Image:
    """fn applied to "F" images as ImageMath operands (image by image: ImageMath
    makes a whole image for every scalar, so scalars go through point())."""
    operands: dict[str, Any] = {f"im{i}": im for i, im in enumerate(images)}
    out = ImageMath.lambda_eval(lambda args: fn(*(args[n] for n in operands)), **operands)
    assert isinstance(out, Image.Image)
    return out


def _linear(im: Image.Image, scale: float, offset: float = 0.0) -> Image.Image:
    return im.point(lambda v: v * scale + offset)


def _clamp01(im: Image.Image) -> Image.Image:
    out = ImageMath.lambda_eval(lambda a: a["max"](a["min"](a["x"], 1.0), 0.0), x=im)
    assert isinstance(out, Image.Image)
    return out


def _random_image(rng: random.Random, size: tuple[int, int]) -> Image.Image:
    return Image.frombytes("L", size, rng.randbytes(size[0] * size[1])).convert("F")


def _value_noise(rng: random.Random, size: tuple[int, int], cells: tuple[int, int], octaves: int,
                 persistence: float) -> Image.Image:
    """Fractal noise from 0 to 1: random grids, each twice as fine and
    `persistence` times as strong, summed at their own resolution (cheap)
    and smoothly enlarged."""
    width, height = cells
    total = _random_image(rng, cells)
    weight, weights = 1.0, 1.0
    for _ in range(octaves - 1):
        width, height = min(width * 2, size[0]), min(height * 2, size[1])
        weight *= persistence
        weights += weight
        finer = _linear(_random_image(rng, (width, height)), weight)
        total = _math(lambda a, b: a + b, total.resize((width, height), _BICUBIC), finer)
    return _linear(total.resize(size, _BICUBIC), 1 / (255 * weights))


def _ridge(rng: random.Random, points: int, roughness: float) -> list[float]:
    """A skyline from -1 to 1 or so, by midpoint displacement; points = 2**k + 1."""
    heights = [0.0] * points
    heights[0], heights[-1] = rng.uniform(-1, 1), rng.uniform(-1, 1)
    step, spread = points - 1, 1.0
    while step > 1:
        half = step // 2
        for i in range(half, points, step):
            heights[i] = (heights[i - half] + heights[i + half]) / 2 + rng.uniform(-spread, spread)
        step, spread = half, spread * roughness
    return heights


def _below(size: tuple[int, int], skyline: Polygon, extra: Sequence[Polygon] = ()) -> Image.Image:
    """An "F" mask, 1 under the skyline (and inside the extra polygons),
    drawn at twice the size and reduced so that its edges are smooth."""
    w, h = size
    big = Image.new("L", (2 * w, 2 * h))
    draw = ImageDraw.Draw(big)
    draw.polygon([(2 * x, 2 * y) for x, y in skyline] + [(2 * w, 2 * h), (0, 2 * h)], fill=255)
    for polygon in extra:
        draw.polygon([(2 * x, 2 * y) for x, y in polygon], fill=255)
    return _linear(big.resize(size, Image.Resampling.BOX).convert("F"), 1 / 255)


def _skyline(rng: random.Random, size: tuple[int, int], level: float, amplitude: float,
             roughness: float) -> Polygon:
    w, h = size
    heights = _ridge(rng, 513, roughness)
    return [(i * w / 512, h * (level + amplitude * v)) for i, v in enumerate(heights)]


def _trees(rng: random.Random, skyline: Polygon, height: int, count: int) -> list[Polygon]:
    """Conifers standing on the skyline: tall narrow triangles."""
    trees = []
    for _ in range(count):
        x, base = skyline[rng.randrange(len(skyline))]
        tall = height * rng.uniform(0.03, 0.09)
        half = tall * rng.uniform(0.14, 0.22)
        foot = base + 0.02 * height
        trees.append([(x - half, foot), (x, foot - tall), (x + half, foot)])
    return trees


def landscape(size: tuple[int, int] = (1920, 1280), seed: int = 2024) -> Scene:
    """The picture at `size`; the same size and seed give the same pixels."""
    rng = random.Random(seed)
    w, h = size
    depth = _linear(Image.linear_gradient("L").convert("F").resize(size, Image.Resampling.BILINEAR), 1 / 255)
    clouds = _value_noise(rng, size, (7, 3), 8, 0.55)
    rock = _value_noise(rng, size, (20, 10), 9, 0.62)
    grass = _value_noise(rng, size, (48, 12), 8, 0.7)
    mountains = _skyline(rng, size, 0.47, 0.10, 0.56)
    hill = _skyline(rng, size, 0.68, 0.06, 0.5)
    land = _below(size, mountains)
    trees = _trees(rng, hill, h, 70)
    near = _below(size, hill, trees)
    # The trees stand darker than the grass they grow from (a skyline along
    # the bottom edge leaves the trees alone in the mask).
    shade = _linear(_below(size, [(0.0, float(h)), (float(w), float(h))], trees), -0.6, 1.0)

    # Weights of the four layers (clear sky, cloud, mountain, hill) sum to 1.
    cloud = _clamp01(_linear(clouds, 3.0, -1.6))
    sky_left = _linear(land, -1.0, 1.0)
    cloud_w = _math(lambda c, s: c * s, cloud, sky_left)
    clear_w = _math(lambda s, c: s - c, sky_left, cloud_w)
    mountain_w = _math(lambda a, b: a - a * b, land, near)
    # Rock is lit from above and hazier near its foot; grass darker far away.
    rock_light = _math(lambda r, d: r * d, _linear(rock, 0.9, 0.55), _linear(depth, -0.6, 1.25))
    grass_light = _math(lambda g, d: g * d, _linear(grass, 1.1, 0.45), _linear(depth, 0.7, 0.45))
    cloud_part = _math(lambda w_, c: w_ * c, cloud_w, _linear(clouds, 0.2, 0.8))
    mountain_part = _math(lambda a, b: a * b, mountain_w, rock_light)
    hill_part = _math(lambda a, b, t: a * b * t, near, grass_light, shade)

    planes = []
    colours = (  # sky at the top, its gain towards the horizon; rock; grass
        (0.22, 0.42, 0.45, 0.36),
        (0.40, 0.38, 0.50, 0.43),
        (0.78, 0.17, 0.62, 0.17),
    )
    grain = _linear(_random_image(rng, size), 1.0 / (255 * 64), -0.5 / 64)
    for sky_top, sky_gain, rock_c, grass_c in colours:
        sky = _linear(depth, sky_gain, sky_top)
        plane = _math(lambda s, cw, c, m, hl, g: s * cw + c + m + hl + g, sky, clear_w, cloud_part,
                      _linear(mountain_part, rock_c), _linear(hill_part, grass_c), grain)
        planes.append(_clamp01(plane))
    rgb = Image.merge("RGB", [_linear(p, 255, 0.5).convert("L") for p in planes])
    red, green, blue = planes
    grey = _clamp01(_math(lambda r, g, b: r + g + b, _linear(red, 0.2126), _linear(green, 0.7152),
                          _linear(blue, 0.0722)))
    alpha = _linear(land, 255, 0.5).convert("L")
    return Scene(rgb, alpha, grey)
