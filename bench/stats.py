"""Summaries of repeated timings and the verdicts on the targets.

Timings on a shared machine drift, so every comparison is made between
samples taken interleaved in the same run: the ratio is that of the medians,
and its spread is the range of the ratios of the samples taken in the same
round, which drift moves together."""

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
    value: float  # median(numerator) / median(denominator)
    low: float  # smallest and largest ratio of samples from the same round
    high: float


def ratio(numerator: list[float], denominator: list[float]) -> Ratio:
    if len(numerator) != len(denominator):
        raise ValueError("samples must come in rounds: one of each side per round")
    paired = [a / b for a, b in zip(numerator, denominator, strict=True)]
    return Ratio(statistics.median(numerator) / statistics.median(denominator), min(paired), max(paired))


@dataclass(frozen=True)
class Target:
    limit: float
    at_least: bool = False  # True: the value must reach the limit; False: stay at or below it

    def met(self, value: float) -> bool:
        return value >= self.limit if self.at_least else value <= self.limit

    def __str__(self) -> str:
        return f"{'>=' if self.at_least else '<='} {self.limit:g}"
