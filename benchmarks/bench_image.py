"""rebin_image_separable against OpenCV's area resize and Pillow's box filter,
and against the memory floor of the same job.

The floor of a case is one read of the input (np.count_nonzero) plus one fill
of a fresh array of the result's size and dtype (np.empty, then .fill(0), so
its pages are faulted in as ours are). OpenCV writes uint8 results, we write
float32: four times the bytes."""
import numpy as np

import _pellorin
from _common import fmt_ms, median_time, opencv_one_thread, optional_peer

cv2 = opencv_one_thread()
Image = optional_peer("PIL", "Image")

PEERS = ["OpenCV", "Pillow"]


def integer_cases(dtype):
    """The photo reductions by whole factors, 1080p -> 720p and a 3x upscale."""
    name = np.dtype(dtype).name
    out = []
    for c, label in ((3, "RGB"), (4, "RGBA")):
        out += [
            (f"{name} {label} 4000x6000 -> 2000x3000 (x1/2)", dtype, (4000, 6000, c), (2000, 3000)),
            (f"{name} {label} 3000x4500 -> 1000x1500 (x1/3)", dtype, (3000, 4500, c), (1000, 1500)),
            (f"{name} {label} 4000x6000 -> 1000x1500 (x1/4)", dtype, (4000, 6000, c), (1000, 1500)),
        ]
    out += [
        (f"{name} RGB 1080x1920 -> 720x1280", dtype, (1080, 1920, 3), (720, 1280)),
        (f"{name} RGB 480x640 -> 1440x1920 (x3 up)", dtype, (480, 640, 3), (1440, 1920)),
    ]
    return out


CASES = integer_cases(np.uint8) + integer_cases(np.uint16) + [
    ("uint8 RGB 3000x4000 -> 768x1024", np.uint8, (3000, 4000, 3), (768, 1024)),
    ("float32 4096x4096x1 -> 1365x1365", np.float32, (4096, 4096, 1), (1365, 1365)),
    ("uint16 2048x2048x1 -> 1536x1536", np.uint16, (2048, 2048, 1), (1536, 1536)),
    ("float32 512x512x3 -> 2048x2048", np.float32, (512, 512, 3), (2048, 2048)),
    ("float64 1000x1000x3 -> 300x300", np.float64, (1000, 1000, 3), (300, 300)),
]


def make_image(dtype, shape, seed=0):
    rng = np.random.default_rng(seed)
    if np.issubdtype(dtype, np.integer):
        return rng.integers(0, np.iinfo(dtype).max, size=shape, dtype=dtype, endpoint=True)
    return rng.random(shape).astype(dtype)


def ours(img, out_h, out_w):
    h, w, c = img.shape
    return _pellorin.rebin_image_separable(img, h, w, c, out_h, out_w, 0.0, 0.0, float(h), float(w))


def floor(img, out_h, out_w):
    """One read of the input and one fill of a fresh result-sized array."""
    np.count_nonzero(img)
    work = np.float64 if img.dtype == np.float64 else np.float32
    np.empty((out_h, out_w, img.shape[2]), dtype=work).fill(0)


def pillow_image(img):
    """A Pillow image of the same pixels where Pillow has a matching mode."""
    if Image is None:
        return None
    h, w, c = img.shape
    if img.dtype == np.uint8 and c in (3, 4):
        return Image.fromarray(img, "RGB" if c == 3 else "RGBA")
    if img.dtype == np.float32 and c == 1:
        return Image.fromarray(img[:, :, 0], "F")
    if img.dtype == np.uint16 and c == 1:
        return Image.fromarray(img[:, :, 0].astype(np.int32), "I")
    return None


def print_rows(title, rows):
    """rows: (case, ours, floor, {peer: seconds or None})."""
    print(f"\n### {title}\n")
    print("| case | ours (ms) | floor (ms) | ours/floor | "
          + " | ".join(f"{p} (ms) | ours/{p}" for p in PEERS) + " |")
    print("|" + "---|" * (4 + 2 * len(PEERS)))
    for case, t_ours, t_floor, theirs in rows:
        cells = [case, fmt_ms(t_ours), fmt_ms(t_floor), f"{t_ours / t_floor:.2f}"]
        for p in PEERS:
            t = theirs.get(p)
            cells.append(fmt_ms(t))
            cells.append("—" if t is None else f"{t_ours / t:.2f}")
        print("| " + " | ".join(cells) + " |")


def run():
    rows = []
    for name, dtype, shape, (out_h, out_w) in CASES:
        img = make_image(dtype, shape)
        theirs = {}
        t_ours = median_time(lambda: ours(img, out_h, out_w))
        t_floor = median_time(lambda: floor(img, out_h, out_w))
        if cv2 is not None:
            theirs["OpenCV"] = median_time(
                lambda: cv2.resize(img if shape[2] > 1 else img[:, :, 0], (out_w, out_h),
                                   interpolation=cv2.INTER_AREA))
        pim = pillow_image(img)
        if pim is not None:
            theirs["Pillow"] = median_time(lambda: pim.resize((out_w, out_h), Image.Resampling.BOX))
        rows.append((name, t_ours, t_floor, theirs))
    print_rows("rebin_image_separable (single thread; floor = np.count_nonzero of the input "
               "+ np.empty(result shape).fill(0))", rows)
    return rows


if __name__ == "__main__":
    run()
