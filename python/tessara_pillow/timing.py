"""Frame durations between the milliseconds Pillow counts in and the ticks
of a JPEG XL animation (ticks_per_second = numerator / denominator).

Reading: a duration of t ticks is t * 1000 * denominator / numerator ms,
exact where that is a whole number and otherwise rounded to the nearest
millisecond, halves up (so 1/30 s is 33 ms). A frame's timestamp is the exact time of its start
(the sum of the ticks before it), rounded the same way, so rounding never
accumulates over a long animation.

Writing: durations (ms, whole or not) become ticks at a rate chosen so that
each is a whole number of ticks: 1000 ticks a second for whole milliseconds,
a multiple of it for fractions such as APNG's 1/30 s (33.33 ms: 3000 ticks a
second). A frame of 0 ms (GIF has them) is written as one tick of a tenth of
a millisecond, which reads back as 0 ms: libjxl would merge a frame of no
duration into the next one as a layer, and the animation would lose a frame.
Rates stay at most 65535 ticks a second, and frames at most 65535 ticks,
where the durations allow it: djxl writes ticks into APNG's 16-bit delays
as they are.

Loop counts: JPEG XL, APNG and WebP count plays (0 for forever); GIF's
NETSCAPE extension counts the repeats after the first play (0 for forever),
and a GIF without one plays once. Pillow's info["loop"] is the file's own
number, so a GIF's loop 2 is 3 plays."""

from __future__ import annotations

import math
import numbers
from collections.abc import Sequence
from fractions import Fraction

MAX_TICKS = (1 << 32) - 1  # a frame's duration field
MAX_TICKS_PER_SECOND = 1 << 30  # the largest numerator the header can hold
# Fractions of a millisecond with a larger denominator are rounded to one of
# at most this denominator.
_FINEST_FRACTION = 1000
# A frame of 0 ms lasts one tick of a tenth of a millisecond, which reads
# back as 0 ms.
_ZERO_TICKS_PER_MS = 10
# APNG's delays are 16-bit fractions of a second.
_PORTABLE = 0xFFFF


def plays(fmt: str | None, loop: object) -> int:
    """How many times an animation opened by Pillow in `fmt` plays (0:
    forever), from its info["loop"] (None where it has none)."""
    if fmt == "GIF":
        if not isinstance(loop, int):
            return 1  # no NETSCAPE extension
        return 0 if loop == 0 else loop + 1
    return loop if isinstance(loop, int) and not isinstance(loop, bool) else 0


def to_ms(ticks: int, numerator: int, denominator: int) -> int:
    """ticks as whole milliseconds: exact where whole, else the nearest, halves up."""
    if numerator <= 0:
        return 0
    scaled = ticks * 1000 * denominator
    return (2 * scaled + numerator) // (2 * numerator)


def timeline(ticks: Sequence[int], numerator: int, denominator: int) -> tuple[list[int], list[int]]:
    """(durations, timestamps) in ms of frames lasting `ticks` each; a
    timestamp is the start of its frame, rounded from the exact sum before it."""
    durations, timestamps, elapsed = [], [], 0
    for t in ticks:
        durations.append(to_ms(t, numerator, denominator))
        timestamps.append(to_ms(elapsed, numerator, denominator))
        elapsed += t
    return durations, timestamps


def check_durations(durations: Sequence[object]) -> list[float]:
    """The durations as numbers, or ValueError/TypeError for one that is not
    a finite, non-negative number of milliseconds."""
    checked: list[float] = []
    for d in durations:
        if isinstance(d, bool) or not isinstance(d, numbers.Real):
            raise TypeError(f"a duration must be a number of milliseconds, not {type(d).__name__}")
        value = int(d) if isinstance(d, numbers.Integral) else float(d)
        if not math.isfinite(value) or value < 0:
            raise ValueError(f"a duration must be a finite number of milliseconds, 0 or more, not {d}")
        checked.append(value)
    return checked


def to_ticks(durations: Sequence[float]) -> tuple[int, int, list[int]]:
    """(ticks numerator, ticks denominator, ticks per frame) for durations in
    ms (checked by check_durations), at the coarsest rate that keeps every
    one, preferring rates and frames within APNG's 16-bit delays (which djxl
    writes ticks into unchanged); where no rate keeps them all, at 1000 ticks
    a second with fractions rounded (ValueError if even that overflows)."""
    exact = [Fraction(d).limit_denominator(_FINEST_FRACTION) for d in durations]
    per_ms = math.lcm(*(f.denominator for f in exact)) if exact else 1
    zero = _ZERO_TICKS_PER_MS if any(f == 0 for f in exact) else 1
    rates = tuple(dict.fromkeys((per_ms * zero, per_ms, zero, 1)))  # ticks per ms, finest first
    for most_per_second, most_per_frame in ((_PORTABLE, _PORTABLE), (MAX_TICKS_PER_SECOND, MAX_TICKS)):
        for rate in rates:
            ticks = [max(1, _round_half_up(f * rate)) for f in exact]
            if rate * 1000 <= most_per_second and max(ticks, default=0) <= most_per_frame:
                return rate * 1000, 1, ticks
    raise ValueError(f"a duration is longer than JPEG XL allows ({MAX_TICKS} ms)")


def _round_half_up(x: Fraction) -> int:
    return math.floor(x + Fraction(1, 2))
