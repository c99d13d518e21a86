"""The module boundary: table, binding messages, argument kinds, results."""
import numpy as np
import pytest

import kelm_rans as k

from util import is_panic, run_python

FULL_TABLE = [
    "get_backend_info", "set_rayon_threads", "get_magic_lut", "build_pdf_tables_from_shards",
    "rans_encode_shards_parallel", "rans_decode_shards_parallel", "rans_decode_4way_core",
    "pack_shard_payloads", "build_all_lookups", "compact_pdf_tables", "expand_pdf_tables",
    "bp_decode_sharded_debug", "bp_build_pdf_sharded", "bp_build_pdf_sharded_rgb", "bp_encode_sharded",
    "bp_decode_sharded", "bp_decode_sharded_with_ref", "p1_gray", "p1_rgb", "decide_shard_mode",
    "p2_rgb", "p2_gray", "reconstruct_shards_rgb", "restore_channels", "reconstruct_2d_channels",
]


def test_module_table_in_registration_order():
    assert k.__doc__ == ""
    assert k.__all__ == FULL_TABLE
    for name in k.__all__:
        fn = getattr(k, name)
        assert fn.__module__ == "kelm_rans"
        assert fn.__doc__ is None  # the docstring holds only the text signature


def test_text_signature_lists_parameter_names():
    assert k.set_rayon_threads.__text_signature__ == "(n)"
    assert k.get_backend_info.__text_signature__ == "()"


def test_backend_info():
    assert k.get_backend_info() == ("v1.0.0-rans-rust", "1.0.1")
    with pytest.raises(TypeError):
        k.get_backend_info(1)
    with pytest.raises(TypeError):
        k.get_magic_lut(1)


@pytest.mark.parametrize("call, message", [
    (lambda: k.set_rayon_threads(), "set_rayon_threads() missing 1 required positional argument: 'n'"),
    (lambda: k.set_rayon_threads(1, 2), "set_rayon_threads() takes 1 positional arguments but 2 were given"),
    (lambda: k.set_rayon_threads(n=1, foo=2), "set_rayon_threads() got an unexpected keyword argument 'foo'"),
    (lambda: k.set_rayon_threads(1, n=1), "set_rayon_threads() got multiple values for argument 'n'"),
    (lambda: k.set_rayon_threads(1.5), "argument 'n': 'float' object cannot be interpreted as an integer"),
    (lambda: k.set_rayon_threads("3"), "argument 'n': 'str' object cannot be interpreted as an integer"),
])
def test_binding_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_integer_conversion_errors_pass_through_unprefixed():
    with pytest.raises(OverflowError) as info:
        k.set_rayon_threads(-1)
    assert not str(info.value).startswith("argument")
    with pytest.raises(OverflowError):
        k.set_rayon_threads(2**64)
    with pytest.raises(TypeError) as info:
        k.set_rayon_threads(1.5)
    assert isinstance(info.value.__cause__, TypeError)


def test_integer_accepts_index_objects():
    assert k.set_rayon_threads(np.uint64(2)) is None
    assert k.set_rayon_threads(True) is None  # bool is an int


def test_magic_lut_values_and_fresh_copies():
    lut = k.get_magic_lut()
    assert lut.dtype == np.uint64 and lut.shape == (4097,)
    assert lut.flags.c_contiguous and lut.flags.writeable and lut.flags.owndata is False
    assert list(lut[:4]) == [0, 2**64 - 1, (2**64 - 1) // 2, (2**64 - 1) // 3]
    assert int(lut[4096]) == 4503599627370495
    expected = [0] + [(2**64 - 1) // i for i in range(1, 4097)]
    assert lut.tolist() == expected
    lut[1] = 5
    assert int(k.get_magic_lut()[1]) == 2**64 - 1


def test_second_initialisation_fails():
    out = run_python("""
        import sys, kelm_rans
        del sys.modules["kelm_rans"]
        try:
            import kelm_rans
        except ImportError as e:
            print("ImportError", "once" in str(e))
    """)
    assert out.strip() == "ImportError True"


def test_import_loads_nothing():
    out = run_python("""
        import sys, os
        import kelm_rans
        print("numpy" in sys.modules, len(os.listdir("/proc/self/task")))
    """)
    assert out.split() == ["False", "1"]


COUNTS = np.zeros(256, np.uint64)
NO_TEMPLATES = np.zeros((0, 256), np.uint64)


@pytest.mark.parametrize("penalty", [120, 120.0, np.float32(1.5), np.uint8(3)])
def test_float_argument_accepts_numbers(penalty):
    assert k.decide_shard_mode(COUNTS, 256, penalty, NO_TEMPLATES, False)[0] == 3


def test_float_argument_error_is_prefixed():
    with pytest.raises(TypeError) as info:
        k.decide_shard_mode(COUNTS, 256, "x", NO_TEMPLATES, False)
    assert str(info.value) == "argument 'header_penalty_bits': must be real number, not str"


@pytest.mark.parametrize("flag, ok", [(True, True), (np.bool_(False), True), (1, False), (None, False),
                                      (np.int8(1), False)])
def test_flag_conversion(flag, ok):
    if ok:
        k.decide_shard_mode(COUNTS, 256, 1.0, NO_TEMPLATES, flag)
    else:
        with pytest.raises(TypeError, match=r"^argument 'disable_templates': '\w+' object cannot be converted"
                                            r" to 'PyBool'$"):
            k.decide_shard_mode(COUNTS, 256, 1.0, NO_TEMPLATES, flag)


def test_conversion_stops_at_first_bad_argument():
    # width fails before disable_templates is looked at.
    with pytest.raises(OverflowError):
        k.decide_shard_mode(COUNTS, -1, 1.0, NO_TEMPLATES, 7)


def test_internal_error_is_a_base_exception():
    try:
        k.reconstruct_2d_channels(2, 2, np.zeros((1, 1), np.uint8))
    except Exception:  # noqa: BLE001 - must not catch it
        pytest.fail("the internal-error exception was caught as an Exception")
    except BaseException as exc:  # noqa: B036
        assert is_panic(exc)
        assert "BaseException" in type(exc).__doc__ and "SystemExit" in type(exc).__doc__
        assert exc.args == (str(exc),) and str(exc).startswith("index out of bounds: the len is 1 but")
    # The module keeps working afterwards.
    assert k.reconstruct_2d_channels(1, 1, np.zeros((1, 1), np.uint8)).shape == (1, 1)
