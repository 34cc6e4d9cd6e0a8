"""pellorin.reproject with astropy WCS pairs against reproject.reproject_exact,
on the sky cases of tests/sky_cases.py (shipped headers, frame changes,
seams, poles, all-sky maps).

What must hold everywhere: the footprint never exceeds 1 by more than
rounding (no area counted twice), and "sum" keeps the flux that lands in the
output to 1e-6. How close the means come to reproject_exact depends on the
case: both take a pixel's image as an approximation (straight edges in the
output's pixel plane and planar areas here; great-circle edges and solid
angles there), and the two approximations part where pixels are large or
the output's projection is strongly curved. The bounds are those measured,
with room for a factor of about three."""

import numpy as np
import pytest

pytest.importorskip("astropy")
pytest.importorskip("reproject")
sky_cases = pytest.importorskip("sky_cases")

# (median, worst) relative difference from reproject_exact on output pixels
# that both cover fully.
BOUNDS = {
    # Arcsecond pixels: both are exact to rounding and to the curvature of
    # a pixel's edges.
    "ordinary": (1e-6, 3e-5),
    "distorted": (1e-8, 1e-7),
    "frames": (1e-8, 1e-7),
    # Across a seam of all-sky CAR: at b = 0 as above; at b = 30 the planar
    # area of a CAR pixel differs from its solid angle by 1.7e-3 tan(b)
    # across it, which moves its mean.
    "field at l=180, b=0 -> all-sky CAR": (1e-7, 3e-6),
    "field at l=180, b=30 -> all-sky CAR": (3e-5, 1e-4),
    # Near a pole, CAR's planar areas are far from solid angles, and SFL's
    # pixel edges far from great circles (reproject_exact on a 4 x finer
    # grid, averaged, moves by as much).
    "pole": (2e-2, 1.5e-1),
    # Coarse (2 degree) all-sky pixels: the two approximations of a
    # pixel's shape part at the 1e-3 level, more at the map's edges.
    "all-sky": (3e-3, 1.0),
}


@pytest.mark.parametrize("case", sky_cases.CASES, ids=[c.name for c in sky_cases.CASES])
def test_against_reproject_exact(case):
    figures = sky_cases.measure(case)
    median, worst = BOUNDS[case.name] if case.name in BOUNDS else BOUNDS[case.kind]
    assert figures.full > 100
    assert figures.median <= median, figures
    assert figures.worst <= worst, figures
    assert figures.footprint_excess <= 1e-9, figures
    assert figures.flux_error <= 1e-6, figures


# (median, worst, flux error) on every case class, by geometry.
EVERYWHERE = {
    # Both take pixels as spherical polygons with great-circle edges and
    # areas as solid angles, so they agree on every case class (seams,
    # poles, all-sky maps included) up to the rounding of small polygons'
    # solid angles; measured: medians 1e-16 to 6e-9, worst 3e-7.
    "sphere": (1e-7, 1e-5, 1e-9),
    # pellorin.astro.reproject's default takes spherical pixels where the
    # planar weights would stray (poles, all-sky and coarse grids, the seam
    # of an all-sky map) and planar ones elsewhere: every case class within
    # a median of 1e-6 and a worst of 1e-3.
    "auto": (1e-6, 1e-3, 1e-6),
}


@pytest.mark.parametrize("geometry", EVERYWHERE)
@pytest.mark.parametrize("case", sky_cases.CASES, ids=[c.name for c in sky_cases.CASES])
def test_agreement_with_reproject_exact_on_every_case_class(case, geometry):
    median, worst, flux = EVERYWHERE[geometry]
    figures = sky_cases.measure(case, geometry)
    assert figures.full > 100
    assert figures.median <= median, figures
    assert figures.worst <= worst, figures
    assert figures.footprint_excess <= 1e-9, figures
    assert figures.flux_error <= flux, figures


def test_frames_that_differ_are_converted():
    # The failure this guards against: Galactic world values read as FK5
    # ones put the image 60 degrees away, with no finite pixel at all.
    case = next(c for c in sky_cases.CASES if c.name.startswith("Galactic"))
    data, w_in, w_out, shape_out, _ = case.build()
    import pellorin

    out = pellorin.reproject(data, (w_in, w_out), shape_out)
    assert np.isfinite(out).sum() > 0.9 * data.size * (6.7 / 1.39) ** 2
