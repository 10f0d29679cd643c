"""Medians and spreads of repeated measurements: these machines are shared and noisy, so every
figure is the median of its runs, shown with the lowest and highest beside it."""

import collections
import math

Summary = collections.namedtuple("Summary", "median low high runs")


def median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    if len(ordered) % 2:
        return ordered[middle]
    return (ordered[middle - 1] + ordered[middle]) / 2


def summary(values):
    values = list(values)
    return Summary(median(values), min(values), max(values), len(values))


def percentile(ordered, share):
    """The value at `share` (0 to 1) of an ascending list, by the nearest rank."""
    index = min(len(ordered) - 1, max(0, math.ceil(share * len(ordered)) - 1))
    return ordered[index]


def mean(values):
    return sum(values) / len(values)


def standard_deviation(values):
    centre = mean(values)
    return math.sqrt(sum((value - centre) ** 2 for value in values) / len(values))
