"""Exact references for the area means: edges, overlaps and means in
rational arithmetic (fractions.Fraction) from the double arguments as given,
and the accuracy rules that results are checked against."""

from __future__ import annotations

import math
from fractions import Fraction

import numpy as np


def window_edges(origin: float, extent: float, out_n: int) -> list[Fraction]:
    o, x = Fraction(origin), Fraction(extent)
    return [o + k * x / out_n for k in range(out_n + 1)]


def bin_edges(in_origin: float, in_bw: float, out_origin: float, out_bw: float, out_n: int) -> list[Fraction]:
    """Output bin edges measured in input bins (input bin i covers [i, i+1))."""
    a, w = Fraction(in_origin), Fraction(in_bw)
    return [(Fraction(out_origin) + j * Fraction(out_bw) - a) / w for j in range(out_n + 1)]


def overlaps(edges: list[Fraction], in_n: int) -> list[dict[int, Fraction]]:
    """Per output pixel, the input pixels with overlap > 0 and the overlaps."""
    rows = []
    for lo, hi in zip(edges[:-1], edges[1:]):
        row = {}
        first = max(0, math.floor(lo))
        last = min(in_n - 1, math.ceil(hi) - 1)
        for i in range(first, last + 1):
            a = min(hi, Fraction(i + 1)) - max(lo, Fraction(i))
            if a > 0:
                row[i] = a
        rows.append(row)
    return rows


def exact_means(image: np.ndarray, rows: list[dict[int, Fraction]], cols: list[dict[int, Fraction]],
                missing: np.ndarray | None = None, total: bool = False):
    """(means, bounds): the exact mean (or with `total` the exact sum) of
    each output element (None where nothing overlaps, NaN/inf as floats
    where they reach) and the largest |v| over the inputs it overlaps (times
    the overlap for `total`). Inputs where `missing` is true are left out."""
    out_h, out_w, c = len(rows), len(cols), image.shape[2]
    means = np.empty((out_h, out_w, c), dtype=object)
    bounds = np.zeros((out_h, out_w, c))
    for r, row in enumerate(rows):
        for x, col in enumerate(cols):
            for ch in range(c):
                values = [(float(image[i, j, ch]), a * b) for i, a in row.items() for j, b in col.items()
                          if missing is None or not missing[i, j, ch]]
                if not values:
                    means[r, x, ch] = None
                    continue
                bounds[r, x, ch] = max(abs(v) for v, _ in values if math.isfinite(v)) if any(
                    math.isfinite(v) for v, _ in values) else 0.0
                m = exact_mean(values)
                if total:
                    area = sum(a for _, a in values)
                    m = m * area if isinstance(m, Fraction) else m
                    bounds[r, x, ch] *= float(area)
                means[r, x, ch] = m
    return means, bounds


def exact_mean(values: list[tuple[float, Fraction]]):
    """sum(v a) / sum(a) exactly; NaN and infinities by the IEEE rules."""
    finite = [v for v, _ in values if math.isfinite(v)]
    if any(math.isnan(v) for v, _ in values):
        return math.nan
    plus = any(v == math.inf for v, _ in values)
    minus = any(v == -math.inf for v, _ in values)
    if plus and minus:
        return math.nan
    if plus or minus:
        return math.inf if plus else -math.inf
    assert len(finite) == len(values)
    total = sum(a for _, a in values)
    return sum(Fraction(v) * a for v, a in values) / total


def check_float(got: np.ndarray, means, bounds, rel: float) -> float:
    """Asserts every element is within rel * bound of its exact mean (0
    where nothing overlaps, NaN/inf exactly); returns the largest error seen
    relative to its bound."""
    worst = 0.0
    for idx in np.ndindex(got.shape):
        g, m = float(got[idx]), means[idx]
        if m is None:
            assert g == 0.0, (idx, g)
            continue
        if isinstance(m, float):
            assert (math.isnan(g) and math.isnan(m)) or g == m, (idx, g, m)
            continue
        assert math.isfinite(g), (idx, g, m)
        error = abs(Fraction(g) - m)
        bound = Fraction(bounds[idx]) * Fraction(rel)
        assert error <= bound, (idx, g, float(m), float(error), float(bound))
        if bounds[idx] > 0:
            worst = max(worst, float(error) / bounds[idx])
    return worst


def round_half_even(m: Fraction) -> int:
    floor = math.floor(m)
    rest = m - floor
    if rest > Fraction(1, 2) or (rest == Fraction(1, 2) and floor % 2 == 1):
        return floor + 1
    return floor


def check_integer(got: np.ndarray, means, bounds, dtype) -> int:
    """Asserts every element is m rounded half to even and clipped (NaN as
    0), or either neighbour where m lies within 1e-9 * bound of a half-way
    point; returns how many elements lay that near a tie."""
    info = np.iinfo(dtype)
    near = 0
    for idx in np.ndindex(got.shape):
        g, m = int(got[idx]), means[idx]
        if m is None:
            assert g == 0, (idx, g)
            continue
        if isinstance(m, float):
            expected = {0} if math.isnan(m) else {info.max if m > 0 else info.min}
        else:
            tie = Fraction(math.floor(m)) + Fraction(1, 2)
            if abs(m - tie) <= Fraction(1, 10**9) * Fraction(bounds[idx]):
                near += 1
                expected = {math.floor(m), math.floor(m) + 1}
            else:
                expected = {round_half_even(m)}
            expected = {min(max(v, info.min), info.max) for v in expected}
        assert g in expected, (idx, g, expected, m)
    return near
