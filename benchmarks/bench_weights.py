"""rebin_axis_weights against a straightforward NumPy construction."""
import numpy as np

import _pellorin
from _common import median_time, print_table

N = 4096


def numpy_weights(in_n, in_bw, in_origin, out_n, out_bw, out_origin):
    lo = out_origin + out_bw * np.arange(out_n)[:, None]
    in_lo = in_origin + in_bw * np.arange(in_n)[None, :]
    overlap = np.clip(np.minimum(lo + out_bw, in_lo + in_bw) - np.maximum(lo, in_lo), 0.0, None)
    sums = overlap.sum(axis=1, keepdims=True)
    return np.divide(overlap, sums, out=np.zeros_like(overlap), where=sums > 0)


def run():
    args = (N, 1.0, 0.0, N, 1.0 * 0.999, 0.3)
    assert np.allclose(_pellorin.rebin_axis_weights(*args), numpy_weights(*args), atol=1e-12)
    rows = [(f"in_n = out_n = {N}", median_time(lambda: _pellorin.rebin_axis_weights(*args)),
             {"NumPy": median_time(lambda: numpy_weights(*args))})]
    print_table("rebin_axis_weights", rows, ["NumPy"])
    return rows


if __name__ == "__main__":
    run()
