"""rebin_image_separable against OpenCV's area resize and Pillow's box filter."""
import numpy as np

import _pellorin
from _common import median_time, print_table

try:
    import cv2
    cv2.setNumThreads(1)
except ImportError:  # pragma: no cover - optional peer
    cv2 = None
try:
    from PIL import Image
except ImportError:  # pragma: no cover - optional peer
    Image = None

CASES = [
    ("uint8 4000x6000x3 -> 1000x1500", np.uint8, (4000, 6000, 3), (1000, 1500)),
    ("uint8 3000x4000x3 -> 768x1024", np.uint8, (3000, 4000, 3), (768, 1024)),
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


def pillow_image(img):
    """A Pillow image of the same pixels where Pillow has a matching mode."""
    if Image is None:
        return None
    h, w, c = img.shape
    if img.dtype == np.uint8 and c == 3:
        return Image.fromarray(img, "RGB")
    if img.dtype == np.float32 and c == 1:
        return Image.fromarray(img[:, :, 0], "F")
    if img.dtype == np.uint16 and c == 1:
        return Image.fromarray(img[:, :, 0].astype(np.int32), "I")
    return None


def run():
    rows = []
    for name, dtype, shape, (out_h, out_w) in CASES:
        img = make_image(dtype, shape)
        theirs = {}
        t_ours = median_time(lambda: ours(img, out_h, out_w))
        if cv2 is not None:
            theirs["OpenCV"] = median_time(
                lambda: cv2.resize(img if shape[2] > 1 else img[:, :, 0], (out_w, out_h),
                                   interpolation=cv2.INTER_AREA))
        pim = pillow_image(img)
        if pim is not None:
            theirs["Pillow"] = median_time(lambda: pim.resize((out_w, out_h), Image.Resampling.BOX))
        rows.append((name, t_ours, theirs))
    print_table("rebin_image_separable (single thread)", rows, ["OpenCV", "Pillow"])
    return rows


if __name__ == "__main__":
    run()
