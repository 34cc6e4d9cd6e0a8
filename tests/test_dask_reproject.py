"""pellorin.dask.reproject against the plain call: every chunk bit for bit,
on the threaded scheduler and on a cluster, for maps whose pixels are all
whole and for sky maps whose pixels are cut (seams, poles, the edge of the
sky) with input blocks cutting through them; each chunk's task reads only
the input that reaches it."""

import warnings

import numpy as np
import pytest

import pellorin
from test_dask import cluster_client, compute  # noqa: F401  (fixtures)

da = pytest.importorskip("dask.array")
from dask.core import flatten, get_dependencies  # noqa: E402

import pellorin.dask  # noqa: E402


def rotated(x, y):
    c, s = np.cos(0.3), np.sin(0.3)
    return 2.7 * (c * x - s * y) + 60.0, 2.7 * (s * x + c * y) - 10.0  # across the top and left edges


def bent_disc(x, y):
    """A bent map that is defined only on a disc: pixels at the disc's edge
    are cut, and their pieces cross input blocks."""
    u, v = rotated(x, y)
    off = (x - 60.3) ** 2 + (y - 40.7) ** 2 > 55.0 ** 2
    return np.where(off, np.nan, u + 0.002 * (y - 40) ** 2), np.where(off, np.nan, v)


def image(shape, seed=0):
    data = np.random.default_rng(seed).normal(size=shape)
    data[..., 5:9, 7:20] = np.nan
    return data


def same_bits(got, expected):
    assert got.shape == expected.shape and got.dtype == expected.dtype == np.float64
    assert got.tobytes() == expected.tobytes()


# (data shape, input chunks, transform, shape_out, output chunks, keywords)
CASES = [
    ((100, 130), (24, 30), rotated, (500, 540), (256, 384), dict(mode="mean")),
    ((100, 130), (100, 130), rotated, (500, 540), 256, dict(mode="sum", return_footprint=True)),
    ((100, 130), (24, 30), bent_disc, (500, 540), (256, 128), dict(return_footprint=True)),
    ((100, 130), (50, 45), bent_disc, (500, 540), 384, dict(mode="sum")),
    ((3, 60, 70), (3, 25, 30), lambda x, y: (3 * x + 0.25 * y, 2 * y - 0.1 * x + 20), (200, 300), 128, {}),
    ((40, 50), (40, 50), lambda x, y: (x / 3 + 1, y / 3), (20, 20), 128, dict(mode="sum")),
]


@pytest.mark.parametrize("shape, in_chunks, transform, shape_out, chunks, kwargs", CASES)
def test_every_chunk_is_the_plain_call(compute, shape, in_chunks, transform, shape_out, chunks, kwargs):  # noqa: F811
    data = image(shape)
    expected = pellorin.reproject(data, transform, shape_out, **kwargs)
    lazy = pellorin.dask.reproject(da.from_array(data, chunks=in_chunks), transform, shape_out,
                                   chunks=chunks, **kwargs)
    if kwargs.get("return_footprint"):
        assert isinstance(lazy, tuple) and len(lazy) == 2
        for got, want in zip(lazy, expected):
            same_bits(compute(got), want)
    else:
        same_bits(compute(lazy), expected)


def sky_cases():
    sky = pytest.importorskip("sky_cases")
    return {case.kind: case for case in sky.CASES}


@pytest.mark.parametrize(("kind", "strays"), [("frames", False), ("distorted", False), ("seam", True),
                                             ("pole", True), ("all-sky", True)])
def test_sky_maps_with_cut_pixels(kind, strays):
    """Planar pixels, as the plain call takes them with geometry="plane",
    with a warning where the plain call would take spherical ones."""
    data, w_in, w_out, shape_out, _ = sky_cases()[kind].build()
    expected = pellorin.reproject(data, (w_in, w_out), shape_out, mode="sum", return_footprint=True,
                                  geometry="plane")
    chunks = tuple(max(1, n // 3) for n in data.shape)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        lazy = pellorin.dask.reproject(da.from_array(data, chunks=chunks), (w_in, w_out), shape_out,
                                       mode="sum", return_footprint=True, chunks=128)
    assert any("geometry='sphere'" in str(w.message) for w in caught) == strays
    for got, want in zip(lazy, expected):
        same_bits(got.compute(scheduler="threads"), want)


def test_chunks_read_only_the_input_that_reaches_them():
    data = image((512, 512))
    source = da.from_array(data, chunks=128)
    lazy = pellorin.dask.reproject(source, lambda x, y: (x + 0.5, y + 0.5), (1024, 1024), chunks=256)
    assert lazy.numblocks == (4, 4)

    def blocks_read(chunk):
        """The input blocks that the chunk's task needs, through the graph."""
        part = lazy.blocks[chunk]
        graph = dict(part.__dask_graph__())
        todo, seen = list(flatten(part.__dask_keys__())), set()
        while todo:
            key = todo.pop()
            if key not in seen:
                seen.add(key)
                todo.extend(get_dependencies(graph, key))
        return {key for key in seen if isinstance(key, tuple) and key[0] == source.name}

    # An output chunk over input pixels [0:256] x [0:256] reads those blocks
    # and the next ones (for the margin); one beyond the input reads nothing.
    assert blocks_read((0, 0)) == {(source.name, j, i) for j in range(3) for i in range(3)}
    assert blocks_read((1, 1)) == {(source.name, j, i) for j in range(1, 4) for i in range(1, 4)}
    assert blocks_read((3, 3)) == set()
    assert np.isnan(lazy.blocks[3, 3].compute()).all()
    same_bits(lazy.compute(), pellorin.reproject(data, lambda x, y: (x + 0.5, y + 0.5), (1024, 1024)))


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(chunks=100), ValueError, "multiples of 128"),
    (dict(chunks=(128, 0)), ValueError, "multiples of 128"),
    (dict(chunks="big"), TypeError, "chunks"),
    (dict(mode="median"), ValueError, "mode"),
    (dict(return_footprint=1), TypeError, "return_footprint"),
])
def test_refusals(kwargs, error, message):
    with pytest.raises(error, match=message):
        pellorin.dask.reproject(np.zeros((4, 4)), lambda x, y: (x, y), (8, 8), **kwargs)


@pytest.mark.parametrize("data, message", [
    (np.zeros(4), "at least 2 dimensions"),
    (np.zeros((2, 2), dtype=complex), "real numeric"),
])
def test_data_refusals(data, message):
    with pytest.raises((TypeError, ValueError), match=message):
        pellorin.dask.reproject(data, lambda x, y: (x, y), (8, 8))
