"""Argument binding and scalar conversion, shared by the three functions."""
import numpy as np
import pytest

import _pellorin

Q = np.zeros((1, 4, 2))
V = np.zeros(1)
X = np.arange(3.0)
AW = (4, 1.0, 0.0, 2, 2.0, 0.0)


def message(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


@pytest.mark.parametrize("call, expected", [
    (lambda: _pellorin.rebin_quads(Q, V, X, X),
     "rebin_quads() takes 2 positional arguments but 4 were given"),
    (lambda: _pellorin.rebin_quads(Q, V, X),
     "rebin_quads() takes 2 positional arguments but 3 were given"),
    (lambda: _pellorin.rebin_axis_weights(*AW, 1),
     "rebin_axis_weights() takes 6 positional arguments but 7 were given"),
    (lambda: _pellorin.rebin_quads(Q, V),
     "rebin_quads() missing 2 required keyword arguments: 'output_x' and 'output_y'"),
    (lambda: _pellorin.rebin_quads(Q, V, output_x=X),
     "rebin_quads() missing 1 required keyword argument: 'output_y'"),
    (lambda: _pellorin.rebin_quads(Q, output_x=X, output_y=X),
     "rebin_quads() missing 1 required positional argument: 'values'"),
    (lambda: _pellorin.rebin_quads(),
     "rebin_quads() missing 2 required positional arguments: 'quads' and 'values'"),
    (lambda: _pellorin.rebin_image_separable(),
     "rebin_image_separable() missing 10 required positional arguments: 'image', 'h', 'w', "
     "'c', 'out_h', 'out_w', 'origin_h', 'origin_w', 'extent_h', and 'extent_w'"),
    (lambda: _pellorin.rebin_axis_weights(4, 1.0, 0.0, 2, 2.0),
     "rebin_axis_weights() missing 1 required positional argument: 'out_origin'"),
    (lambda: _pellorin.rebin_axis_weights(4, 1.0, 0.0),
     "rebin_axis_weights() missing 3 required positional arguments: 'out_n', 'out_bw', and "
     "'out_origin'"),
    (lambda: _pellorin.rebin_axis_weights(*AW, in_n=4),
     "rebin_axis_weights() got multiple values for argument 'in_n'"),
    (lambda: _pellorin.rebin_axis_weights(*AW, scale=1),
     "rebin_axis_weights() got an unexpected keyword argument 'scale'"),
    (lambda: _pellorin.rebin_axis_weights(*AW, **{"é": 1}),
     "rebin_axis_weights() got an unexpected keyword argument 'é'"),
    (lambda: _pellorin.rebin_quads(Q, V, output_x=X, output_y=X, quads=Q),
     "rebin_quads() got multiple values for argument 'quads'"),
    # Surplus positional arguments win over keyword problems.
    (lambda: _pellorin.rebin_quads(Q, V, X, bogus=1),
     "rebin_quads() takes 2 positional arguments but 3 were given"),
    # The first failing keyword ends the binding, before missing arguments.
    (lambda: _pellorin.rebin_quads(bogus=1),
     "rebin_quads() got an unexpected keyword argument 'bogus'"),
])
def test_binding_messages(call, expected):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == expected


def test_every_parameter_by_keyword():
    by_kw = _pellorin.rebin_axis_weights(in_n=4, in_bw=1.0, in_origin=0.0, out_n=2,
                                         out_bw=2.0, out_origin=0.0)
    assert np.array_equal(by_kw, _pellorin.rebin_axis_weights(*AW))
    assert np.array_equal(
        _pellorin.rebin_quads(values=V, quads=Q, output_y=X, output_x=X),
        _pellorin.rebin_quads(Q, V, output_x=X, output_y=X))


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    def __float__(self):
        raise self.exc


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("args, exc_type, text", [
    ((4.0, 1.0, 0.0, 2, 2.0, 0.0), TypeError,
     "argument 'in_n': 'float' object cannot be interpreted as an integer"),
    ((4, "1", 0.0, 2, 2.0, 0.0), TypeError, "argument 'in_bw': "),
    ((4, 1.0, None, 2, 2.0, 0.0), TypeError, "argument 'in_origin': "),
    ((-1, 1.0, 0.0, 2, 2.0, 0.0), OverflowError, "can't convert negative"),
    ((4, 1.0, 0.0, 2**64, 2.0, 0.0), OverflowError, ""),
    ((4, 1.0, 0.0, 2, 2.0, 10**400), OverflowError, ""),
    ((Raises(ValueError("mine")), 1.0, 0.0, 2, 2.0, 0.0), ValueError, "mine"),
    ((Raises(MyTypeError("sub")), 1.0, 0.0, 2, 2.0, 0.0), MyTypeError, "sub"),
    ((Raises(TypeError("plain")), 1.0, 0.0, 2, 2.0, 0.0), TypeError, "argument 'in_n': plain"),
    ((4, Raises(KeyError("k")), 0.0, 2, 2.0, 0.0), KeyError, "'k'"),
    ((4, Raises(TypeError("t")), 0.0, 2, 2.0, 0.0), TypeError, "argument 'in_bw': t"),
])
def test_conversion_errors(args, exc_type, text):
    with pytest.raises(exc_type) as info:
        _pellorin.rebin_axis_weights(*args)
    assert type(info.value) is exc_type
    assert str(info.value).startswith(text)
    if exc_type is not TypeError:
        assert not str(info.value).startswith("argument ")


def test_prefixed_error_keeps_inner_cause():
    cause = RuntimeError("root")
    inner = TypeError("inner")
    inner.__cause__ = cause
    with pytest.raises(TypeError) as info:
        _pellorin.rebin_axis_weights(Raises(inner), 1.0, 0.0, 2, 2.0, 0.0)
    assert str(info.value) == "argument 'in_n': inner"
    assert info.value.__cause__ is cause


def test_first_failing_conversion_wins():
    with pytest.raises(TypeError, match="^argument 'in_bw'"):
        _pellorin.rebin_axis_weights(4, "x", "y", 2, "z", 0.0)
    # Conversions come before checks: in_n = 0 is not reported.
    with pytest.raises(TypeError, match="^argument 'out_bw'"):
        _pellorin.rebin_axis_weights(0, 1.0, 0.0, 2, "z", 0.0)


@pytest.mark.parametrize("value, expected_n", [
    (True, 1), (Index(4), 4), (np.int64(4), 4), (np.uint8(3), 3),
])
def test_integer_like_counts(value, expected_n):
    assert _pellorin.rebin_axis_weights(value, 1.0, 0.0, 1, 1.0, 0.0).shape == (1, expected_n)


@pytest.mark.parametrize("width", [1, np.float32(1.0), np.int32(1), Index(1)])
def test_float_like_widths(width):
    assert _pellorin.rebin_axis_weights(2, width, 0.0, 1, 2.0, 0.0).tolist() == [[0.5, 0.5]]


def test_in_n_false_is_zero():
    with pytest.raises(ValueError, match="in_n and out_n must be > 0"):
        _pellorin.rebin_axis_weights(False, 1.0, 0.0, 2, 2.0, 0.0)


def quads_call(**kw):
    return _pellorin.rebin_quads(Q, V, output_x=X, output_y=X, **kw)


@pytest.mark.parametrize("kw, text", [
    ({"skip_partial": 1}, "argument 'skip_partial': 'int' object is not an instance of 'bool'"),
    ({"skip_partial": None}, "argument 'skip_partial': 'None' is not an instance of 'bool'"),
    ({"skip_partial": "yes"}, "argument 'skip_partial': 'str' object is not an instance of 'bool'"),
    ({"mode": None}, "argument 'mode': 'None' is not an instance of 'str'"),
    ({"mode": b"sum"}, "argument 'mode': 'bytes' object is not an instance of 'str'"),
    ({"mode": 1}, "argument 'mode': 'int' object is not an instance of 'str'"),
])
def test_flag_and_text_conversion_errors(kw, text):
    assert message(quads_call, **kw) == text


class Text(str):
    pass


@pytest.mark.parametrize("kw", [
    {"skip_partial": np.bool_(True)}, {"skip_partial": np.bool_(False)},
    {"skip_partial": True}, {"mode": Text("sum")}, {"mode": "mean"},
])
def test_accepted_flags_and_texts(kw):
    assert quads_call(**kw).shape == (3, 3)


def test_lone_surrogate_mode_raises_unicode_error_unchanged():
    with pytest.raises(UnicodeEncodeError):
        quads_call(mode="\udcff")


def test_numpy_bool_is_really_read():
    q = np.array([[[-0.6, 0.1], [0.4, 0.1], [0.4, 0.4], [-0.6, 0.4]]])
    v = np.array([1.0])
    x = np.arange(3.0)
    kept = _pellorin.rebin_quads(q, v, output_x=x, output_y=x, skip_partial=np.bool_(False))
    dropped = _pellorin.rebin_quads(q, v, output_x=x, output_y=x, skip_partial=np.bool_(True))
    assert kept.sum() == 1.0
    assert dropped.sum() == 0.0
