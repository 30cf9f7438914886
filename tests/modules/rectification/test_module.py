"""stereo._rectification through the real interpreter: its table and records, the cost
callback handed out and passed back, repeatable minimisation, and the binding conventions."""
import math
import random

import pytest

from stereo._rectification import ffi, lib

TABLE = {"costfun_wrap", "get_generated_cost_fun", "minimize", "set_seed"}
TRUTH = [0.021, -0.017, 0.034, -0.012, 0.026, 0.0]
LB = [-0.1] * 5 + [-1.0]
UB = [0.1] * 5 + [1.0]


def rot(a, b, c):
    """Rx(a) * Rz(c) * Ry(b) as nested lists."""
    def mul(p, q):
        return [[sum(p[i][k] * q[k][j] for k in range(3)) for j in range(3)] for i in range(3)]
    rx = [[1, 0, 0], [0, math.cos(a), -math.sin(a)], [0, math.sin(a), math.cos(a)]]
    ry = [[math.cos(b), 0, math.sin(b)], [0, 1, 0], [-math.sin(b), 0, math.cos(b)]]
    rz = [[math.cos(c), -math.sin(c), 0], [math.sin(c), math.cos(c), 0], [0, 0, 1]]
    return mul(rx, mul(rz, ry))


def project_t(r, v):
    p = [sum(r[k][i] * v[k] for k in range(3)) for i in range(3)]
    return p[0] / p[2], p[1] / p[2]


def scene(x, count, noise=0.0, seed=1):
    """Correspondences of a scene seen by a pair that the angles x rectify."""
    rng = random.Random(seed)
    rl, rr = rot(-x[2] / 2, x[0], x[1]), rot(x[2] / 2, x[3], x[4])
    corr = ffi.new("correspondence[]", count)
    for i in range(count):
        z = rng.uniform(1.0, 8.0)
        pt = [rng.uniform(-0.55, 0.55) * z, rng.uniform(-0.4, 0.4) * z, z]
        err = rng.gauss(0.0, noise / 91.5) if noise else 0.0
        lx, ly = project_t(rl, pt)
        rx_, ry_ = project_t(rr, [pt[0] - 0.3, pt[1] + err * z, z])
        corr[i].left.x, corr[i].left.y = lx, ly
        corr[i].right.x, corr[i].right.y = rx_, ry_
        corr[i].score = 1.0
    return corr


def run(corr, maxeval=2000, f=None):
    x = ffi.new("double[6]")
    minf = ffi.new("double *")
    rc = lib.minimize(6, x, maxeval, minf, len(corr), corr, LB, UB, 640, 480,
                      f if f is not None else lib.get_generated_cost_fun())
    return rc, list(x), minf[0]


def test_table_and_record_layouts():
    assert {n for n in dir(lib) if not n.startswith("_")} == TABLE
    assert ffi.sizeof("point_f") == 8 and ffi.alignof("point_f") == 4
    assert ffi.sizeof("correspondence") == 20 and ffi.alignof("correspondence") == 4
    assert [(n, ffi.offsetof("correspondence", n)) for n in ("left", "right", "score")] == \
        [("left", 0), ("right", 8), ("score", 16)]
    assert ffi.sizeof("point") == 16 and ffi.offsetof("point", "v") == 8
    assert ffi.typeof(lib.minimize).cname == (
        "int(*)(int, double *, int, double *, int, correspondence *, double *, double *, "
        "int, int, double(*)(unsigned int, double *, double *, void *))")
    assert ffi.typeof(lib.set_seed).args[0].cname == "unsigned long"


def test_generated_cost_round_trip_recovers_angles():
    f = lib.get_generated_cost_fun()
    assert ffi.typeof(f) is ffi.typeof("nlopt_func")
    assert f != ffi.NULL
    corr = scene(TRUTH, 300)
    rc, x, minf = run(corr, f=f)
    assert rc > 0
    for got, want in zip(x[:5], TRUTH[:5]):
        assert got == pytest.approx(want, abs=1e-4)
    assert minf < 1e-3
    # The wrapper reads the cost at a point exactly as the search reported it.
    assert lib.costfun_wrap(6, x, len(corr), corr, 640, 480, f) == minf
    assert lib.costfun_wrap(6, [0.0] * 6, len(corr), corr, 640, 480, f) > 10.0
    assert lib.costfun_wrap(6, x, 0, ffi.NULL, 640, 480, f) == 0.0


def test_equal_inputs_equal_results_whatever_the_seed():
    corr = scene(TRUTH, 120, noise=0.5, seed=3)
    lib.set_seed(4242)
    first = run(corr, maxeval=500)
    # The largest seed an unsigned long holds (32 bits on the camera, 64 on x86-64).
    lib.set_seed(2 ** (8 * ffi.sizeof("unsigned long")) - 1)
    second = run(corr, maxeval=500)
    assert first == second


def test_python_objective_through_the_callback_type():
    calls = []

    @ffi.callback("nlopt_func")
    def bowl(n, x, grad, data):
        # An exception here would only be printed: record, assert outside.
        calls.append((n, data != ffi.NULL))
        if grad != ffi.NULL:
            for i in range(n):
                grad[i] = 2.0 * (x[i] - 0.05)
        return sum((x[i] - 0.05) ** 2 for i in range(n))

    corr = scene(TRUTH, 5)
    rc, x, minf = run(corr, maxeval=300, f=bowl)
    assert rc > 0
    assert calls and set(calls) == {(6, True)}  # the search hands its record through
    assert minf == pytest.approx(0.0, abs=1e-8)
    assert x == pytest.approx([0.05] * 6, abs=1e-4)
    assert lib.costfun_wrap(6, [0.05] * 6, 0, ffi.NULL, 1, 1, bowl) == 0.0


@pytest.mark.parametrize("name,arity", [("minimize", 11), ("costfun_wrap", 7)])
def test_wrong_argument_count_names_the_function(name, arity):
    for count in (arity - 1, arity + 1):
        with pytest.raises(TypeError) as err:
            getattr(lib, name)(*([0] * count))
        assert name in str(err.value)
        assert "expected %d arguments" % arity in str(err.value)
    with pytest.raises(TypeError):
        lib.get_generated_cost_fun(1)


def test_bad_arguments_raise_before_native_code():
    corr = scene(TRUTH, 4)
    f = lib.get_generated_cost_fun()
    with pytest.raises(OverflowError):
        lib.costfun_wrap(6, [0.0] * 6, 2 ** 40, corr, 640, 480, f)
    with pytest.raises(OverflowError):
        lib.set_seed(-1)
    with pytest.raises(TypeError):
        lib.costfun_wrap(6, [0.0] * 6, 4, corr, 640, 480, "not a function")
    with pytest.raises(TypeError):
        lib.costfun_wrap(6, [0.0] * 6, 4, [1, 2, 3], 640, 480, f)


def test_list_for_an_input_array_is_not_updated():
    corr = scene(TRUTH, 80)
    start = [0.0] * 6
    minf = ffi.new("double *")
    lb, ub = list(LB), list(UB)
    rc = lib.minimize(6, start, 300, minf, len(corr), corr, lb, ub, 640, 480,
                      lib.get_generated_cost_fun())
    assert rc > 0
    assert minf[0] < lib.costfun_wrap(6, [0.0] * 6, len(corr), corr, 640, 480,
                                      lib.get_generated_cost_fun())
    # The best point went into a temporary copy; the caller's lists are as they were.
    assert start == [0.0] * 6
    assert lb == LB and ub == UB
