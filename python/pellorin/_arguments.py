"""Argument normalisation shared by the package's functions.

Every helper takes the parameter's Python name and puts it in the message
of the ``TypeError`` or ``ValueError`` that it raises.
"""

from __future__ import annotations

import math
import operator
from typing import SupportsFloat, SupportsIndex, Union

import numpy as np

FloatLike = Union[SupportsFloat, SupportsIndex]


def as_array(name: str, value: object) -> np.ndarray:
    """``np.asarray(value)`` with NumPy's conversion errors naming ``name``.

    Subclasses (masked arrays, matrices) become plain arrays of their data.
    """
    try:
        return np.asarray(value)
    except (TypeError, ValueError) as error:
        raise type(error)(f"{name}: cannot be read as an array: {error}") from error


def finite_float(name: str, value: FloatLike) -> float:
    """``float(value)``, which must be finite. Text is refused, not parsed."""
    try:
        if isinstance(value, (str, bytes)):
            raise TypeError("text")
        number = float(value)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name} must be a real number; got {value!r}") from error
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite; got {number!r}")
    return number


def positive_float(name: str, value: FloatLike) -> float:
    """``float(value)``, which must be finite and > 0."""
    number = finite_float(name, value)
    if not number > 0.0:
        raise ValueError(f"{name} must be > 0; got {number!r}")
    return number


def positive_count(name: str, value: SupportsIndex) -> int:
    """``operator.index(value)``, which must be >= 1. Floats are refused."""
    try:
        count = operator.index(value)
    except TypeError as error:
        raise TypeError(f"{name} must be an integer; got {value!r}") from error
    if count < 1:
        raise ValueError(f"{name} must be >= 1; got {count}")
    return count
