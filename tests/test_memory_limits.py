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
