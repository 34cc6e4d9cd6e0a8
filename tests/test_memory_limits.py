"""Requests past the memory available end with MemoryError; the interpreter goes on."""
import pytest

from conftest import SANITIZED, run_python

pytestmark = pytest.mark.skipif(SANITIZED, reason="the address sanitizer reserves more address space")

PRELUDE = """
import resource
import numpy as np
import _pellorin
limit = 2 * 1024**3
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
"""


@pytest.mark.parametrize("call", [
    "_pellorin.rebin_axis_weights(2**16, 1.0, 0.0, 2**16, 1.0, 0.0)",
    "_pellorin.rebin_axis_weights(2**30, 1.0, 0.0, 2**25, 1.0, 0.0)",
    "_pellorin.rebin_quads(np.zeros((1, 4, 2)), np.zeros(1), output_x=np.arange(20000.0),"
    " output_y=np.arange(20000.0))",
    "_pellorin.rebin_quads(np.zeros((1, 4, 2)), np.zeros(1), output_x=np.arange(20000.0),"
    " output_y=np.arange(20000.0), mode='mean')",
    "_pellorin.rebin_image_separable(np.zeros((4, 4, 1), np.uint8), 4, 4, 1, 30000, 30000,"
    " 0.0, 0.0, 4.0, 4.0)",
    "_pellorin.rebin_image_separable(np.zeros((4, 4, 1), np.float64), 4, 4, 1, 20000, 20000,"
    " 0.0, 0.0, 4.0, 4.0)",
])
def test_memory_error_under_a_lowered_address_space_limit(call):
    code = PRELUDE + f"""
try:
    {call}
except MemoryError:
    print("memory error")
else:
    print("no error")
print(_pellorin.rebin_axis_weights(4, 1.0, 0.0, 2, 2.0, 0.0).tolist())
big = np.ones(10**6)  # the interpreter can still allocate
print(float(big.sum()))
"""
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:3] == [
        "memory error", "[[0.5, 0.5, 0.0, 0.0], [0.0, 0.0, 0.5, 0.5]]", "1000000.0"]


# Requests that are refused by their arguments alone: under a 1 GiB address
# space the exact error shows that the refusal came before any large work
# (building the weights first would end in a different MemoryError).
@pytest.mark.parametrize("call, expected", [
    ("_pellorin.rebin_axis_weights(2**62, 1.0, 0.0, 4, 2.0**61, 0.0)",
     "ValueError weight matrix reshape: ShapeError/Overflow: arithmetic overflow"),
    ("_pellorin.rebin_axis_weights(8, 1.0, 0.0, 2**61, 1.0, 0.0)",
     "ValueError weight matrix reshape: ShapeError/Overflow: arithmetic overflow"),
    ("_pellorin.rebin_axis_weights(2**62, 1.0, 0.0, 2, 1.0, 0.0)",
     "MemoryError weight matrix: cannot allocate 9223372036854775808 elements of 8 bytes"
     " (past the largest possible allocation)"),
    ("_pellorin.rebin_image_separable(np.zeros((1, 1, 1), np.uint8), 2**27, 1, 1, 1, 1,"
     " 0.0, 0.0, 2.0**27, 1.0)",
     "ValueError image length 1 does not match h*w*c = 134217728"),
    ("_pellorin.rebin_image_separable(np.zeros((1, 1, 1), np.uint8), 1, 1, 1, 2**61, 1,"
     " 0.0, 0.0, 1.0, 1.0)",
     "MemoryError rebin_image_separable result: cannot allocate 2305843009213693952 elements"
     " of 4 bytes (past the largest possible allocation)"),
])
def test_refused_requests_allocate_nothing(call, expected):
    code = PRELUDE.replace("2 * 1024**3", "1024**3") + f"""
try:
    {call}
except Exception as exc:
    print(type(exc).__name__, exc)
print(_pellorin.rebin_axis_weights(4, 1.0, 0.0, 2, 2.0, 0.0).tolist())
"""
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:2] == [expected, "[[0.5, 0.5, 0.0, 0.0], [0.0, 0.0, 0.5, 0.5]]"]
