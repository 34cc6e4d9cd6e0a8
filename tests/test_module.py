import importlib
import inspect
import sys

import pytest

import _pellorin
from conftest import run_python

NAMES = ["rebin_quads", "rebin_axis_weights", "rebin_image_separable"]


def test_all_lists_functions_in_table_order():
    assert _pellorin.__all__ == NAMES
    assert all(callable(getattr(_pellorin, n)) for n in NAMES)


def test_doc_is_empty_string():
    assert _pellorin.__doc__ == ""


def test_no_other_public_attributes():
    public = {n for n in dir(_pellorin) if not n.startswith("__")}
    assert public == set(NAMES)


@pytest.mark.parametrize("name, signature", [
    ("rebin_quads", '(quads, values, *, output_x, output_y, mode="sum", skip_partial=False)'),
    ("rebin_axis_weights", "(in_n, in_bw, in_origin, out_n, out_bw, out_origin)"),
    ("rebin_image_separable",
     "(image, h, w, c, out_h, out_w, origin_h, origin_w, extent_h, extent_w)"),
])
def test_text_signatures(name, signature):
    fn = getattr(_pellorin, name)
    assert fn.__text_signature__ == signature
    assert fn.__name__ == name
    # The header is split off: the documentation starts after the blank line.
    assert not fn.__doc__.startswith(name)
    assert not fn.__doc__.endswith("\n")


def test_inspect_signature_of_rebin_quads():
    sig = inspect.signature(_pellorin.rebin_quads)
    params = sig.parameters
    assert list(params) == ["quads", "values", "output_x", "output_y", "mode", "skip_partial"]
    assert params["output_x"].kind is inspect.Parameter.KEYWORD_ONLY
    assert params["mode"].default == "sum"
    assert params["skip_partial"].default is False


def test_docstrings_carry_their_content():
    assert _pellorin.rebin_axis_weights.__doc__ == (
        "Build the dense 1D overlap weight matrix for separable, axis-aligned\n"
        "rebinning. See [`weights::axis_weights`] for the mathematical details.\n"
        "\n"
        "Returns an `(out_n, in_n)` matrix whose rows sum to 1 (whenever the\n"
        "corresponding output bin overlaps any input bin), so ``out = W @ input``\n"
        "is the area-weighted mean of the input pixels covered by each output bin.")
    assert _pellorin.rebin_quads.__doc__.startswith(
        "Rebin a list of pre-transformed quadrilaterals onto a regular grid.\n\nParameters\n")
    assert _pellorin.rebin_quads.__doc__.endswith("np.ndarray, shape (Mx, My), dtype float64")
    assert _pellorin.rebin_image_separable.__doc__.startswith(
        "Resize an `(H, W, C)` image by separable area-weighted rebinning.\n")
    for name in NAMES:
        getattr(_pellorin, name).__doc__.encode("ascii")


def test_functions_are_bound_to_the_module():
    for name in NAMES:
        fn = getattr(_pellorin, name)
        assert fn.__self__ is _pellorin
        assert fn.__module__ == _pellorin.__name__


def test_import_does_not_import_numpy():
    out = run_python("import sys, _pellorin; print('numpy' in sys.modules)")
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "False"


def test_numpy_core_module_matches_major_version():
    code = (
        "import sys, _pellorin, numpy\n"
        "_pellorin.rebin_axis_weights(2, 1.0, 0.0, 1, 2.0, 0.0)\n"
        "major = int(numpy.__version__.split('.')[0])\n"
        "name = 'numpy._core.multiarray' if major > 1 else 'numpy.core.multiarray'\n"
        "print(name in sys.modules)\n")
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "True"


def test_reimport_gives_fresh_module_and_same_panic_type(panic_type):
    old_module = sys.modules.pop("_pellorin")
    try:
        fresh = importlib.import_module("_pellorin")
        assert fresh is not old_module
        assert fresh.rebin_quads is not old_module.rebin_quads
        assert fresh.__all__ is not old_module.__all__
        assert fresh.__all__ == NAMES
        found = [t for t in BaseException.__subclasses__() if t.__module__ == "corvane_runtime"]
        assert found == [panic_type]
    finally:
        sys.modules["_pellorin"] = old_module


def test_panic_type_identity(panic_type):
    assert panic_type.__module__ == "corvane_runtime"
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert "BaseException" in panic_type.__doc__
    assert not hasattr(_pellorin, "PanicException")


def test_numpy_that_cannot_be_loaded_is_an_internal_error():
    # The one failure outside the caller's arguments: NumPy's C-API table
    # cannot be found. It is the internal-error exception, which `except
    # Exception` does not catch, and the process goes on.
    code = (
        "import sys\n"
        "sys.modules['numpy'] = None\n"
        "import _pellorin\n"
        "try:\n"
        "    try:\n"
        "        _pellorin.rebin_axis_weights(2, 1.0, 0.0, 1, 2.0, 0.0)\n"
        "    except Exception:\n"
        "        print('caught as Exception')\n"
        "except BaseException as exc:\n"
        "    print(type(exc).__module__, type(exc).__name__)\n"
        "    print(str(exc).split(':')[0])\n")
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "corvane_runtime PanicException", "Failed to access NumPy array API capsule"]


def test_fetched_panic_is_resumed_as_new_panic(panic_type, capfd):
    raised = []

    class Hostile:
        def __index__(self):
            raised.append(panic_type("raised from Python"))
            raise raised[-1]

    with pytest.raises(panic_type) as info:
        _pellorin.rebin_axis_weights(Hostile(), 1.0, 0.0, 1, 1.0, 0.0)
    assert str(info.value) == "raised from Python"
    assert info.value is not raised[0]
    err = capfd.readouterr().err
    assert "raised from Python" in err  # banner and traceback on stderr
    # The interpreter keeps working afterwards.
    assert _pellorin.rebin_axis_weights(2, 1.0, 0.0, 1, 2.0, 0.0).tolist() == [[0.5, 0.5]]
