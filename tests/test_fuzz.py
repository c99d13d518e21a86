"""Every function on random small arguments of the right kinds: it returns or
raises one of the documented errors, never crashes or hangs."""
import os

import numpy as np
import pytest

import kelm_rans as k

from util import is_panic

U8, U16, U32, U64 = np.uint8, np.uint16, np.uint32, np.uint64
A, I, F, B = "array", "int", "float", "flag"
ROUNDS = int(os.environ.get("KELM_FUZZ_ROUNDS", "150"))  # raise for a longer local run

# Parameter kinds per function: ("array", dtype, ndim) | "int" | "float" | "flag".
SIGNATURES = {
    "build_pdf_tables_from_shards": [(A, U8, 1), (A, U32, 1), (A, U32, 1), (A, U16, 1), (A, U64, 2), B],
    "rans_encode_shards_parallel": [(A, U8, 1), (A, U32, 1), (A, U32, 1), (A, U64, 2), (A, U64, 2), I],
    "rans_decode_shards_parallel": [(A, U8, 1), (A, U32, 1), (A, U64, 2), (A, U64, 2), (A, U8, 2)],
    "rans_decode_4way_core": [I, I, I, I, (A, U8, 1), (A, U64, 1), (A, U64, 1), (A, U8, 1), (A, U8, 1)],
    "pack_shard_payloads": [(A, U64, 2), (A, U32, 1), (A, U32, 1), (A, U8, 1), (A, U8, 1), (A, U32, 1)],
    "build_all_lookups": [(A, U64, 3)],
    "compact_pdf_tables": [(A, U64, 2), (A, U16, 1), (A, U8, 1)],
    "expand_pdf_tables": [(A, U8, 1), (A, U16, 1), (A, U8, 1), (A, U64, 2)],
    "bp_decode_sharded_debug": [(A, U8, 1), I, I, I, I, I, I, (A, U16, 3), (A, U16, 3), (A, U8, 1), (A, U8, 1),
                                (A, U8, 1), (A, U8, 1), (A, U8, 1)],
    "bp_build_pdf_sharded": [(A, U8, 1), (A, U8, 1), (A, U8, 1), (A, U8, 1), (A, U8, 1), I, I, I, B],
    "bp_build_pdf_sharded_rgb": [(A, U8, 1)] * 7 + [I, I, I],
    "bp_encode_sharded": [(A, U8, 1), (A, U8, 1), (A, U16, 3), (A, U16, 3), (A, U8, 1), (A, U8, 1), (A, U8, 1),
                          I, I, I, B],
    "bp_decode_sharded": [(A, U8, 1), I, I, I, I, I, I, (A, U16, 3), (A, U16, 3), (A, U8, 1), (A, U8, 1),
                          (A, U8, 1)],
    "bp_decode_sharded_with_ref": [(A, U8, 1), I, I, I, I, I, I, (A, U16, 3), (A, U16, 3), (A, U8, 1),
                                   (A, U8, 1), (A, U8, 1), (A, U8, 1)],
    "p1_gray": [I, I, (A, U8, 2), (A, U8, 2), B, I, (A, U8, 2), (A, U8, 1), (A, U8, 2)],
    "p1_rgb": [I, I, (A, U8, 3), (A, U8, 2), B, I, (A, U8, 2), (A, U8, 1), (A, U8, 2)],
    "decide_shard_mode": [(A, U64, 1), I, F, (A, U64, 2), B],
    "p2_rgb": [I, I, (A, U8, 2), (A, U8, 2), (A, U8, 2), (A, U32, 3), (A, U8, 1), (A, U8, 1), (A, U8, 1),
               (A, U8, 2), (A, U8, 1), (A, U8, 2)],
    "p2_gray": [I, I, (A, U8, 2), (A, U32, 3), (A, U8, 1), (A, U8, 2), (A, U8, 1), (A, U8, 2)],
    "reconstruct_shards_rgb": [I, I, (A, U8, 1), (A, U8, 1), (A, U8, 1), (A, U32, 1), (A, U32, 1), (A, U32, 1),
                               (A, U8, 2), (A, U8, 1), (A, U8, 2)],
    "restore_channels": [(A, U8, 2), (A, U8, 2), (A, U8, 2), (A, U8, 2), B, B, B],
    "reconstruct_2d_channels": [I, I, (A, U8, 2)],
}


def random_array(rng, dtype, ndim):
    """Small arrays; sometimes all-small values so tables and offsets make sense."""
    shape = tuple(int(rng.choice([0, 1, 2, 3, 4, 5, 17, 64, 257])) for _ in range(ndim))
    if rng.random() < 0.1 and ndim == 1:
        shape = (int(rng.choice([256, 4096, 511 * 511])),)
    high = min(int(rng.choice([2, 16, 256, 4097, 2**64 - 1])), int(np.iinfo(dtype).max))
    return rng.integers(0, high, size=shape, dtype=dtype, endpoint=True)


def random_int(rng):
    return int(rng.choice([0, 1, 2, 3, 7, 40, 64, 256, 2**31, 2**31 + 5, 2**63, 2**64 - 1]))


def random_args(rng, kinds):
    out = []
    for kind in kinds:
        if kind == I:
            out.append(random_int(rng))
        elif kind == F:
            out.append(float(rng.choice([0.0, 120.0, -5.0, np.inf, np.nan])))
        elif kind == B:
            out.append(bool(rng.integers(2)))
        else:
            out.append(random_array(rng, kind[1], kind[2]))
    return out


def test_every_function_is_covered():
    assert set(SIGNATURES) | {"get_backend_info", "set_rayon_threads", "get_magic_lut"} == set(k.__all__)


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_random_arguments_never_crash(name):
    fn, kinds = getattr(k, name), SIGNATURES[name]
    rng = np.random.default_rng(sum(map(ord, name)))
    for _ in range(ROUNDS):
        args = random_args(rng, kinds)
        # Keep image sizes small: a forged h, w must not make the test allocate gigabytes.
        if name.startswith(("p1_", "p2_", "reconstruct", "bp_")):
            for i, kind in enumerate(kinds):
                if kind == I and i in image_size_positions(name):
                    args[i] = int(rng.integers(0, 40))
        try:
            fn(*args)
        except (ValueError, MemoryError, OverflowError):
            pass
        except BaseException as exc:  # noqa: B036 - the internal-error exception is a BaseException
            assert is_panic(exc), repr(exc)


def image_size_positions(name):
    """Positions of h, w (and n_ctx, n_shards) in the image and plane functions."""
    return {
        "p1_gray": (0, 1, 5), "p1_rgb": (0, 1, 5), "p2_rgb": (0, 1), "p2_gray": (0, 1),
        "reconstruct_shards_rgb": (0, 1), "reconstruct_2d_channels": (0, 1),
        "bp_build_pdf_sharded": (5, 6, 7), "bp_build_pdf_sharded_rgb": (7, 8, 9),
        "bp_encode_sharded": (7, 8, 9), "bp_decode_sharded": (5, 6), "bp_decode_sharded_with_ref": (5, 6),
        "bp_decode_sharded_debug": (5, 6),
    }[name]
