"""Fixed inputs whose results are pinned by SHA-256 (tests/golden.json).

Inputs come from a 64-bit linear congruential generator in integer
arithmetic, so they are the same bytes under every NumPy version.
Regenerate the pins only for an intended change of results:
    python tests/golden_cases.py > tests/golden.json
"""
import hashlib
import json

import numpy as np

import _pellorin

NAN = float("nan")


def lcg(n, seed):
    """n doubles in [0, 1) from a 64-bit LCG (Knuth's MMIX constants)."""
    out = np.empty(n, dtype=np.uint64)
    x = np.uint64(seed * 2 + 1)
    a = np.uint64(6364136223846793005)
    c = np.uint64(1442695040888963407)
    with np.errstate(over="ignore"):
        for i in range(n):
            x = x * a + c
            out[i] = x
    return (out >> np.uint64(11)).astype(np.float64) * 2.0**-53


def image(dtype, shape, seed, nan_at=None):
    u = lcg(int(np.prod(shape)), seed).reshape(shape)
    if np.dtype(dtype).kind == "u":
        img = (u * (np.iinfo(dtype).max + 1)).astype(dtype)
    else:
        img = (u * 200.0 - 50.0).astype(dtype)
        if nan_at is not None:
            img[nan_at] = NAN
    return img


def quads(n, size, seed, spread):
    u = lcg(n * 4, seed).reshape(n, 4)
    centres = u[:, :2] * spread
    angle = u[:, 2] * np.pi
    scale = size * (0.5 + u[:, 3])
    corners = np.array([[-0.5, -0.5], [0.5, -0.4], [0.45, 0.5], [-0.5, 0.55]])
    cos, sin = np.cos(angle)[:, None], np.sin(angle)[:, None]
    x = centres[:, :1] + scale[:, None] * (cos * corners[:, 0] - sin * corners[:, 1])
    y = centres[:, 1:] + scale[:, None] * (sin * corners[:, 0] + cos * corners[:, 1])
    return np.ascontiguousarray(np.stack([x, y], axis=-1)), lcg(n, seed + 99) * 10.0 - 2.0


def cases():
    """(name, thunk) pairs; each thunk returns one result array."""
    out = []
    for args in [(4, 1.0, 0.0, 2, 2.0, 0.0), (10, 1.0, 0.0, 4, 0.7, 0.0), (10, 1.0, 0.0, 4, 0.3, 0.25),
                 (37, 0.37, -1.3, 23, 0.61, -2.0), (3, 1.0, NAN, 2, 1.5, 0.0), (1, 1.0, 0.0, 1, 1e-310, 0.0),
                 (97, 1.0, 0.0, 31, 3.3, 0.1), (64, 0.1, 0.0, 200, 0.035, 0.05)]:
        out.append((f"axis_weights{args}", lambda a=args: _pellorin.rebin_axis_weights(*a)))

    images = [
        ("u8_rgb", image(np.uint8, (37, 53, 3), 1)),
        ("u16_grey", image(np.uint16, (41, 29, 1), 2)),
        ("f32_rgba", image(np.float32, (23, 31, 4), 3, nan_at=(5, 7, 1))),
        ("f64_two", image(np.float64, (19, 17, 2), 4, nan_at=(11, 3, 0))),
        ("f32_wide", image(np.float32, (3, 257, 1), 5)),
        ("u8_tall", image(np.uint8, (211, 5, 3), 6)),
    ]
    windows = [
        (13, 17, 0.0, 0.0, None, None),        # whole image, reduction
        (50, 70, 0.0, 0.0, None, None),        # up-sampling
        (7, 9, -3.5, 2.25, 20.0, 33.3),        # crop reaching past the edges
        (5, 4, 10.0, -40.0, 8.0, 12.0),        # partly and wholly outside
        (1, 1, 0.0, 0.0, None, None),          # everything into one pixel
        (11, 3, 0.5, 0.5, float("inf"), 2.0),  # infinite extent
    ]
    for iname, img in images:
        h, w, c = img.shape
        for k, (oh, ow, oy, ox, eh, ew) in enumerate(windows):
            eh = float(h) if eh is None else eh
            ew = float(w) if ew is None else ew
            out.append((f"image_{iname}_{k}", lambda img=img, a=(h, w, c, oh, ow, oy, ox, eh, ew):
                        _pellorin.rebin_image_separable(img, *a)))

    grid_x = np.arange(40) * 0.75 + 0.3
    grid_y = np.arange(33) * 1.1 - 0.4
    sets = [
        ("small", quads(3000, 0.3, 11, 30.0)),
        ("medium", quads(800, 1.7, 12, 30.0)),
        ("large", quads(60, 9.0, 13, 34.0)),
        ("edges", quads(500, 2.5, 14, 36.0)),
    ]
    q_nan, v_nan = quads(200, 1.2, 15, 30.0)
    q_nan = q_nan.copy()
    v_nan = v_nan.copy()
    q_nan[3, 2, 0] = NAN
    q_nan[7, :, 1] = NAN
    v_nan[11] = NAN
    v_nan[12] = float("inf")
    sets.append(("nan", (q_nan, v_nan)))
    for sname, (q, v) in sets:
        for mode in ("sum", "mean"):
            for skip in (False, True):
                out.append((f"quads_{sname}_{mode}_{skip}", lambda q=q, v=v, m=mode, s=skip:
                            _pellorin.rebin_quads(q, v, output_x=grid_x, output_y=grid_y, mode=m,
                                                  skip_partial=s)))
    return out


def digest(result):
    """SHA-256 of dtype, shape and bytes; NaNs are made canonical first, since
    IEEE arithmetic fixes that a result is NaN but not its payload bits."""
    result = np.array(result)
    result[np.isnan(result)] = NAN
    h = hashlib.sha256()
    h.update(f"{result.dtype.str}{result.shape}".encode())
    h.update(np.ascontiguousarray(result).tobytes())
    return h.hexdigest()


if __name__ == "__main__":
    print(json.dumps({name: digest(thunk()) for name, thunk in cases()}, indent=1, sort_keys=True))
