"""The package's compiled engine, pellorin._engine: where it lives, the
internal-error type it shares with _pellorin, and the checks that keep its
memory accesses safe when it is called directly."""

import numpy as np
import pytest

import _pellorin
import pellorin
from conftest import run_python
from pellorin import _engine


def test_engine_is_a_module_of_the_package():
    assert _engine.__name__ == "pellorin._engine"
    assert _engine.__file__.endswith(".abi3.so")
    assert sorted(_engine.__all__) == ["accumulate", "rebin_axis", "resize", "screen", "sphere_accumulate"]
    assert _engine.resize.__text_signature__.startswith("(image, out, top, left")


def hostile_threads(panic_type, raised):
    class Hostile:
        def __index__(self):
            raised.append(panic_type("raised from Python"))
            raise raised[-1]
    return Hostile()


@pytest.mark.parametrize("call", [
    lambda t: _engine.resize(np.zeros((2, 2, 1)), np.zeros((1, 1, 1)), 0.0, 0.0, 2.0, 2.0, t),
    lambda t: _engine.rebin_axis(np.zeros((1, 2, 1)), np.zeros((1, 1, 1)), 0.0, 1.0, 0.0, 2.0, False, t),
])
def test_internal_errors_raise_the_type_shared_with_pellorin_module(panic_type, capfd, call):
    # One internal-error type per process: the engine finds the one that
    # _pellorin made (or makes it first), and resumes a failure raised into
    # it as a new one of that type.
    raised = []
    with pytest.raises(panic_type) as info:
        call(hostile_threads(panic_type, raised))
    assert str(info.value) == "raised from Python" and info.value is not raised[0]
    assert "raised from Python" in capfd.readouterr().err
    found = [t for t in BaseException.__subclasses__() if t.__module__ == "corvane_runtime"]
    assert found == [panic_type]
    assert not hasattr(_engine, "PanicException") and not hasattr(_pellorin, "PanicException")


def test_the_engine_imported_first_makes_the_type_that_pellorin_module_uses():
    code = (
        "import numpy as np\n"
        "from pellorin import _engine\n"
        "class Hostile:\n"
        "    def __index__(self):\n"
        "        raise ValueError('first')\n"
        "try:\n"
        "    _engine.resize(np.zeros((1, 1, 1)), np.zeros((1, 1, 1)), 0.0, 0.0, 1.0, 1.0, Hostile())\n"
        "except ValueError:\n"
        "    pass\n"
        "import _pellorin\n"
        "try:\n"
        "    _pellorin.rebin_axis_weights(2, 1.0, 0.0, 1, 2.0, 0.0)\n"
        "except Exception:\n"
        "    pass\n"
        "print(len([t for t in BaseException.__subclasses__() if t.__module__ == 'corvane_runtime']))\n")
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "1"


IMAGE = np.zeros((4, 4, 2))
OUT = np.zeros((2, 2, 2))


@pytest.mark.parametrize("args, kwargs, error, match", [
    ((IMAGE, OUT, 0.0, 0.0, 0.0, 4.0, 1), {}, ValueError, "window must be finite"),
    ((IMAGE, OUT, np.nan, 0.0, 4.0, 4.0, 1), {}, ValueError, "window must be finite"),
    ((IMAGE, OUT, 0.0, 0.0, 4.0, 4.0, 0), {}, ValueError, "threads must be between"),
    ((IMAGE.astype(np.int32), OUT, 0.0, 0.0, 4.0, 4.0, 1), {}, TypeError, "image must be a 3-D array"),
    ((IMAGE[:, ::2], OUT, 0.0, 0.0, 4.0, 4.0, 1), {}, ValueError, "image must be non-empty, C-contiguous"),
    ((IMAGE, np.zeros((2, 2, 3)), 0.0, 0.0, 4.0, 4.0, 1), {}, ValueError, r"out must have shape \(2, 2, 2\)"),
    ((IMAGE, np.zeros((2, 2, 2), np.complex64), 0.0, 0.0, 4.0, 4.0, 1), {}, TypeError, "out must be a 3-D array"),
    ((IMAGE, np.zeros((2, 4, 2))[:, ::2], 0.0, 0.0, 4.0, 4.0, 1), {}, ValueError, "out must be C-contiguous"),
    ((IMAGE, IMAGE, 0.0, 0.0, 4.0, 4.0, 1), {}, ValueError, "out is in use by another call"),
    ((IMAGE, OUT, 0.0, 0.0, 4.0, 4.0, 1), {"mask": np.zeros((4, 4, 2), np.uint8)}, ValueError,
     "a mask needs out_mask"),
    ((IMAGE, OUT, 0.0, 0.0, 4.0, 4.0, 1), {"mask": np.zeros((4, 4, 1), np.uint8),
                                           "out_mask": np.zeros((2, 2, 2), np.uint8)}, ValueError,
     r"mask must have shape \(4, 4, 2\)"),
])
def test_direct_calls_are_checked(args, kwargs, error, match):
    with pytest.raises(error, match=match):
        _engine.resize(*args, **kwargs)


def test_rebin_axis_writes_only_the_values_dtype():
    with pytest.raises(TypeError, match="out must be a 3-D array"):
        _engine.rebin_axis(np.zeros((1, 4, 1)), np.zeros((1, 2, 1), np.float32), 0.0, 1.0, 0.0, 2.0, False, 1)


def test_package_calls_go_through_the_engine(monkeypatch):
    calls = []
    real = _engine.resize
    monkeypatch.setattr(_engine, "resize", lambda *a, **k: calls.append(a) or real(*a, **k))
    pellorin.resize(np.ones((4, 4)), (2, 2))
    assert len(calls) == 1
