"""An output of 2 GiB, eight times what each of two workers may hold, written
to zarr by a dask.distributed cluster: no worker is restarted, and the
output is the plain call's, bit for bit, where the input reaches it and
NaN elsewhere."""

import os
import time

import numpy as np
import pytest

import pellorin
from conftest import SANITIZED

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("dask.distributed")
pytest.importorskip("zarr")
import pellorin.dask  # noqa: E402

WORKER_LIMIT = 256 * 2**20
SIDE = 16384  # 16384**2 float64 cells: 2 GiB
CHUNK = 1024


def shift_and_scale(x, y):
    return 4.0 * x + 101.5, 4.0 * y + 97.25


@pytest.mark.skipif(SANITIZED, reason="worker processes would not load the instrumented build")
def test_output_of_eight_worker_limits_goes_to_zarr(tmp_path):
    y, x = np.mgrid[0:256, 0:256]
    data = np.sin(x / 17.0) * np.cos(y / 29.0)
    lazy = pellorin.dask.reproject(da.from_array(data, chunks=128), shift_and_scale, (SIDE, SIDE),
                                   chunks=CHUNK)
    assert lazy.nbytes == 2 * 2**30 >= 8 * WORKER_LIMIT
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  memory_limit=WORKER_LIMIT, dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        pids = client.run(os.getpid)
        start = time.perf_counter()
        lazy.to_zarr(str(tmp_path / "out.zarr"))
        elapsed = time.perf_counter() - start
        assert client.run(os.getpid) == pids  # the same two worker processes: none restarted
        stored = da.from_zarr(str(tmp_path / "out.zarr"))
        near = stored[:CHUNK + 256, :CHUNK + 256].compute()
        far = [stored[r:r + CHUNK, c:c + CHUNK].compute() for r, c in ((0, SIDE - CHUNK),
                                                                     (SIDE // 2, SIDE // 2),
                                                                     (SIDE - CHUNK, SIDE - CHUNK))]
    print(f"\n{lazy.nbytes / 2**30:.0f} GiB output to zarr on 2 workers of {WORKER_LIMIT // 2**20} MiB "
          f"each: {elapsed:.1f} s")
    plain = pellorin.reproject(data, shift_and_scale, (CHUNK + 256, CHUNK + 256))
    assert np.isnan(plain[-1]).all() and np.isnan(plain[:, -1]).all()  # the input reaches no further
    assert near.tobytes() == plain.tobytes()
    assert all(np.isnan(block).all() for block in far)
