"""Summaries of repeated timings and the verdicts on the targets.

Timings on a shared machine drift, so every comparison is made between
samples taken interleaved in the same run: each round gives one ratio, and
the value is the median of those, with their range as its spread."""

from __future__ import annotations

import statistics
from dataclasses import dataclass


@dataclass(frozen=True)
class Summary:
    median: float
    q1: float
    q3: float
    low: float
    high: float
    n: int


def summarize(samples: list[float]) -> Summary:
    if not samples:
        raise ValueError("no samples")
    ordered = sorted(samples)
    if len(ordered) > 1:
        q1, _, q3 = statistics.quantiles(ordered, n=4, method="inclusive")
    else:
        q1 = q3 = ordered[0]
    return Summary(statistics.median(ordered), q1, q3, ordered[0], ordered[-1], len(ordered))


@dataclass(frozen=True)
class Ratio:
    value: float  # the median of the per-round ratios
    low: float  # the smallest and largest per-round ratio
    high: float


def ratio(numerator: list[float], denominator: list[float]) -> Ratio:
    """Pairs the samples round by round: a round that ran slow for both
    sides (the machine got busier) gives an honest ratio all the same."""
    if len(numerator) != len(denominator):
        raise ValueError("samples must come in rounds: one of each side per round")
    paired = [a / b for a, b in zip(numerator, denominator, strict=True)]
    return Ratio(statistics.median(paired), min(paired), max(paired))


@dataclass(frozen=True)
class Target:
    limit: float
    at_least: bool = False  # True: the value must reach the limit; False: stay at or below it

    def met(self, value: float) -> bool:
        return value >= self.limit if self.at_least else value <= self.limit

    def __str__(self) -> str:
        return f"{'>=' if self.at_least else '<='} {self.limit:g}"
