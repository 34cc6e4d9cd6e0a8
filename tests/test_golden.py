"""Results pinned to the last bit: any change to the arithmetic or its order
changes a digest. The inputs are in golden_cases.py."""
import json
from pathlib import Path

import pytest

from golden_cases import cases, digest

PINNED = json.loads((Path(__file__).with_name("golden.json")).read_text())
CASES = dict(cases())


def test_every_case_is_pinned():
    assert set(PINNED) == set(CASES)


@pytest.mark.parametrize("name", sorted(CASES))
def test_result_bits_unchanged(name):
    assert digest(CASES[name]()) == PINNED[name]
