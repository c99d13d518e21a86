"""The sharded rANS codec: encoder, payload packing, decoders and their bindings."""
import os
import struct
import threading

import numpy as np
import pytest

import kelm_rans as k
import ref_rans as R
from util import is_panic, run_python

U8, U32, U64 = np.uint8, np.uint32, np.uint64
LOW = 1 << 31
SIMD_PATHS = ["scalar", "avx2", None]  # values of KELM_SIMD (None: unset, the best the CPU has)


def use_simd(monkeypatch, path):
    if path is None:
        monkeypatch.delenv("KELM_SIMD", raising=False)
    else:
        monkeypatch.setenv("KELM_SIMD", path)


def panic_message(call):
    with pytest.raises(BaseException) as info:
        call()
    assert is_panic(info.value), repr(info.value)
    return str(info.value)


def single_symbol_table(sym=0):
    f = np.zeros(256, U64)
    f[sym] = 4096
    return f, R.cumulative(f)


def make_shards(rng, lengths, layout="adjacent", tables=None):
    """Data, offsets, tables for shards of the given lengths."""
    lengths = np.asarray(lengths, dtype=U32)
    n = len(lengths)
    tables = tables or [R.random_table(rng) for _ in range(n)]
    sym = np.stack([t[0] for t in tables]) if n else np.zeros((0, 256), U64)
    cum = np.stack([t[1] for t in tables]) if n else np.zeros((0, 257), U64)
    parts = [R.sample(rng, t[0], int(m)) for t, m in zip(tables, lengths)]
    if layout == "adjacent":
        data = np.concatenate(parts) if n else np.zeros(0, U8)
        offsets = np.concatenate([[0], np.cumsum(lengths.astype(np.int64))[:-1]]).astype(U32) if n else np.zeros(0, U32)
    elif layout == "gaps":  # reversed order, with junk between shards
        data, offsets = [], np.zeros(n, U32)
        pos = 0
        for i in reversed(range(n)):
            gap = rng.integers(0, 256, int(rng.integers(0, 5)), dtype=U8)
            data += [gap, parts[i]]
            offsets[i] = pos + len(gap)
            pos += len(gap) + len(parts[i])
        data = np.concatenate(data) if data else np.zeros(0, U8)
    else:  # every shard starts at 0 of one buffer: overlapping, same table for all
        longest = int(lengths.max()) if n else 0
        t = tables[0] if n else R.random_table(rng)
        data = R.sample(rng, t[0], longest)
        sym, cum = np.tile(t[0], (n, 1)), np.tile(t[1], (n, 1))
        offsets = np.zeros(n, U32)
        parts = [data[:int(m)] for m in lengths]
    return data, offsets, lengths, cum, sym, parts


def pack(fs, bs, bo, bl, extra=0):
    n = len(bl)
    sizes = 36 + bl.astype(np.int64)
    writes = np.zeros(n, U32)
    if n:
        writes[1:] = np.cumsum(sizes)[:-1]
    out = np.zeros(int(sizes.sum()) + extra, U8)
    k.pack_shard_payloads(fs, bl, bo, bs, out, writes)
    return out


def lookups_of(cum):
    return k.build_all_lookups(cum[None])[0] if len(cum) else np.zeros((0, 4096), U8)


# ---------------------------------------------------------------- binding


def encode_args():
    rng = np.random.default_rng(0)
    data, offsets, lengths, cum, sym, _ = make_shards(rng, [5, 7])
    return dict(data_flat=data, shard_offsets=offsets, shard_lengths=lengths, cum_freqs=cum, sym_freqs=sym,
                initial_state=LOW)


@pytest.mark.parametrize("name, value, type_name", [
    ("data_flat", [1, 2, 3], "list"),
    ("shard_offsets", np.zeros(2, np.int64), "ndarray"),
    ("cum_freqs", np.zeros((2, 257), ">u8"), "ndarray"),
    ("sym_freqs", np.zeros(512, U64), "ndarray"),  # 1-D where 2-D is expected
    ("shard_lengths", np.array([5, 7], U64), "ndarray"),
])
def test_encode_argument_kinds(name, value, type_name):
    args = encode_args()
    args[name] = value
    with pytest.raises(TypeError) as info:
        k.rans_encode_shards_parallel(**args)
    assert str(info.value) == f"argument '{name}': '{type_name}' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize("call, message", [
    (lambda: k.build_all_lookups(), "build_all_lookups() missing 1 required positional argument: 'all_cum_freqs'"),
    (lambda: k.build_all_lookups(1, 2), "build_all_lookups() takes 1 positional arguments but 2 were given"),
    (lambda: k.build_all_lookups(np.zeros((1, 1, 257), U64), foo=1),
     "build_all_lookups() got an unexpected keyword argument 'foo'"),
    (lambda: k.build_all_lookups(1, all_cum_freqs=1), "build_all_lookups() got multiple values for argument 'all_cum_freqs'"),
    (lambda: k.pack_shard_payloads(), "pack_shard_payloads() missing 6 required positional arguments: 'final_states', "
     "'bs_lengths', 'bs_offsets', 'bitstreams_flat', 'out', and 'write_offsets'"),
    (lambda: k.rans_decode_shards_parallel(np.zeros(1, U8)), "rans_decode_shards_parallel() missing 4 required "
     "positional arguments: 'shard_counts', 'cum_freqs', 'sym_freqs', and 'lookups'"),
    (lambda: k.rans_decode_4way_core(1.5, 0, 0, 0, None, None, None, None, None),
     "argument 'st0': 'float' object cannot be interpreted as an integer"),
    (lambda: k.rans_encode_shards_parallel(**dict(encode_args(), initial_state=1.5)),
     "argument 'initial_state': 'float' object cannot be interpreted as an integer"),
    (lambda: k.rans_decode_4way_core(0, 0, 0, 0, np.zeros(1, U8), np.zeros(257, U64), np.zeros(256, U64),
                                     np.zeros(4096, U8), np.zeros((2, 2), U8)),
     "argument 'out': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_integer_arguments():
    with pytest.raises(OverflowError):
        k.rans_encode_shards_parallel(**dict(encode_args(), initial_state=-1))
    with pytest.raises(OverflowError):
        k.rans_encode_shards_parallel(**dict(encode_args(), initial_state=2**64))
    a = k.rans_encode_shards_parallel(**dict(encode_args(), initial_state=np.uint64(LOW)))
    b = k.rans_encode_shards_parallel(**encode_args())
    assert all(np.array_equal(x, y) for x, y in zip(a, b))


def test_flat_buffers_must_be_contiguous_copied_arguments_need_not():
    args = encode_args()
    ref = k.rans_encode_shards_parallel(**args)
    for name in ("data_flat", "shard_offsets", "shard_lengths"):
        doubled = np.repeat(args[name], 2)
        with pytest.raises(TypeError) as info:
            k.rans_encode_shards_parallel(**dict(args, **{name: doubled[::2]}))
        assert str(info.value) == "The given array is not contiguous"
    # Copied tables: strided views and Fortran order give the same result.
    strided = np.repeat(args["cum_freqs"], 2, axis=0)[::2]
    fortran = np.asfortranarray(args["sym_freqs"])
    got = k.rans_encode_shards_parallel(**dict(args, cum_freqs=strided, sym_freqs=fortran))
    assert all(np.array_equal(x, y) for x, y in zip(ref, got))
    # Contiguous in memory order (Fortran, transposed) is a valid flat buffer.
    k.rans_encode_shards_parallel(**dict(args, data_flat=args["data_flat"].T))


def test_pack_checks_buffers_in_order_and_refuses_read_only_out():
    fs = np.zeros((1, 4), U64)
    bl, bo, wo = np.zeros(1, U32), np.zeros(1, U32), np.zeros(1, U32)
    bs = np.zeros(4, U8)
    out = np.full(40, 7, U8)
    out.flags.writeable = False
    with pytest.raises(ValueError):  # out comes before write_offsets
        k.pack_shard_payloads(fs, bl, bo, bs, out, np.zeros(2, U32)[::2])
    with pytest.raises(TypeError) as info:  # bitstreams_flat comes before out
        k.pack_shard_payloads(fs, bl, bo, np.zeros(8, U8)[::2], out, wo)
    assert str(info.value) == "The given array is not contiguous"
    k.pack_shard_payloads(np.zeros((4, 1), U64).T, bl, bo, bs, np.zeros(40, U8), wo)  # copied states: any layout
    assert (out == 7).all()


def test_decode_4way_core_refuses_read_only_out():
    out = np.full(4, 9, U8)
    out.flags.writeable = False
    f, c = single_symbol_table()
    with pytest.raises(ValueError):
        k.rans_decode_4way_core(0, 0, 0, 0, np.zeros(0, U8), c, f, np.ones(4096, U8), out)
    assert (out == 9).all()


def test_result_kinds():
    rng = np.random.default_rng(1)
    data, offsets, lengths, cum, sym, _ = make_shards(rng, [10, 0, 33])
    results = k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, LOW)
    assert isinstance(results, tuple) and len(results) == 4
    fs, bs, bo, bl = results
    expect = [(U64, (3, 4)), (U8, (int(bo[-1]) + 2 * 33 + 1024,)), (U32, (3,)), (U32, (3,))]
    for arr, (dtype, shape) in zip(results, expect):
        assert arr.dtype == dtype and arr.shape == shape
    lookups = k.build_all_lookups(cum.reshape(3, 1, 257))
    assert lookups.dtype == U8 and lookups.shape == (3, 1, 4096)
    payload = pack(fs, bs, bo, bl)
    decoded, consumed = k.rans_decode_shards_parallel(payload, lengths, cum, sym, lookups.reshape(3, 4096))
    assert decoded.dtype == U8 and decoded.shape == (43,) and type(consumed) is int
    inputs = [data, offsets, lengths, cum, sym, payload]
    for arr in (*results, lookups, decoded):
        assert arr.flags.c_contiguous and arr.flags.writeable
        assert not any(np.shares_memory(arr, x) for x in inputs)
    assert k.pack_shard_payloads(fs, bl, bo, bs, payload, np.zeros(3, U32)) is None
    assert k.rans_decode_4way_core(0, 0, 0, 0, bs, cum[0], sym[0], lookups[0, 0], np.zeros(0, U8)) is None


# ---------------------------------------------------------------- differential


STATES = [LOW, LOW + 987654321, (1 << 39) - 1, 0, 5, (1 << 31) - 1, 1 << 39, 1 << 45, 2**64 - 1]


@pytest.mark.parametrize("initial_state", STATES)
def test_encode_and_decode_match_the_reference(initial_state):
    rng = np.random.default_rng(initial_state % 1000)
    lengths = list(range(10)) + [int(x) for x in rng.integers(10, 400, 6)]
    data, offsets, lengths, cum, sym, parts = make_shards(rng, lengths)
    fs, bs, bo, bl = k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, initial_state)
    lookups = lookups_of(cum)
    for i, part in enumerate(parts):
        st, out = R.encode_stream(part, sym[i], cum[i], initial_state)
        assert fs[i].tolist() == st
        assert bs[bo[i]:bo[i] + bl[i]].tolist() == out
        decoded = np.zeros(len(part), U8)
        k.rans_decode_4way_core(*map(int, st), np.array(out, U8), cum[i], sym[i], lookups[i], decoded)
        assert decoded.tolist() == R.decode_stream(st, out, sym[i], cum[i], lookups[i], len(part))
        if LOW <= initial_state < 1 << 39:
            assert np.array_equal(decoded, part)


def test_long_streams_match_the_reference():
    """Long enough to take the decoders' per-slot tables and the fast encode loop."""
    rng = np.random.default_rng(5)
    data, offsets, lengths, cum, sym, parts = make_shards(rng, [40000, 17000])
    for init in (LOW, 2**64 - 1):
        fs, bs, bo, bl = k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, init)
        for i, part in enumerate(parts):
            st, out = R.encode_stream(part, sym[i], cum[i], init)
            assert fs[i].tolist() == st and bs[bo[i]:bo[i] + bl[i]].tolist() == out
    dec = np.zeros(40000, U8)
    garbage = rng.integers(0, 256, 30000, dtype=U8)  # a foreign stream still decodes like the reference
    states = [int(x) for x in rng.integers(0, 2**63, 4, dtype=np.uint64)]
    lut = lookups_of(cum)[0]
    k.rans_decode_4way_core(*states, garbage, cum[0], sym[0], lut, dec)
    assert dec.tolist() == R.decode_stream(states, garbage, sym[0], cum[0], lut, 40000)


def test_decoder_arithmetic_wraps_on_inconsistent_tables():
    rng = np.random.default_rng(9)
    f = rng.integers(0, 2**64, 256, dtype=U64)
    f[0] = 3
    c = rng.integers(0, 2**64, 257, dtype=U64)
    lut = rng.integers(0, 256, 4096, dtype=U8)
    stream = rng.integers(0, 256, 500, dtype=U8)
    states = [int(x) for x in rng.integers(0, 2**64, 4, dtype=U64)]
    for n in (9, 30000):
        out = np.zeros(n, U8)
        k.rans_decode_4way_core(*states, stream, c, f, lut, out)
        assert out.tolist() == R.decode_stream(states, stream, f, c, lut, n)


# ---------------------------------------------------------------- encoder edge cases


def test_encode_no_shards():
    fs, bs, bo, bl = k.rans_encode_shards_parallel(np.zeros(0, U8), np.zeros(0, U32), np.zeros(0, U32),
                                                   np.zeros((0, 257), U64), np.zeros((0, 256), U64), LOW)
    assert (fs.shape, bs.shape, bo.shape, bl.shape) == ((0, 4), (0,), (0,), (0,))


def test_encode_regions():
    rng = np.random.default_rng(2)
    data, offsets, lengths, cum, sym, _ = make_shards(rng, [3, 10])
    fs, bs, bo, bl = k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, LOW)
    assert bo.tolist() == [0, 1030] and bs.size == 2074
    data, offsets, lengths, cum, sym, _ = make_shards(rng, [0, 50, 0])
    fs, bs, bo, bl = k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, 77)
    assert bo.tolist() == [0, 1024, 2148] and bs.size == 3172
    assert fs[0].tolist() == [77] * 4 and fs[2].tolist() == [77] * 4 and bl[0] == 0 and bl[2] == 0
    used = np.zeros(bs.size, bool)
    used[bo[1]:bo[1] + bl[1]] = True
    assert (bs[~used] == 0).all()  # everything outside the byte sequences is zero


def test_single_symbol_shortcut_and_short_streams():
    rng = np.random.default_rng(3)
    f, c = single_symbol_table(0)
    other_f, other_c = R.random_table(rng)
    sym, cum = np.stack([f, other_f]), np.stack([c, other_c])
    # Shard 0 has the shortcut table: its offset lies far outside data_flat and is never read.
    data = R.sample(rng, other_f, 1)
    fs, bs, bo, bl = k.rans_encode_shards_parallel(data, np.array([10**6, 0], U32), np.array([50, 1], U32),
                                                   cum, sym, LOW + 1)
    assert fs[0].tolist() == [LOW + 1] * 4 and bl[0] == 0
    assert fs[1, 1:].tolist() == [LOW + 1] * 3 and fs[1, 0] != LOW + 1  # one symbol: st0 only
    payload = pack(fs, bs, bo, bl)
    decoded, consumed = k.rans_decode_shards_parallel(payload, np.array([50, 1], U32), cum, sym, lookups_of(cum))
    assert decoded.tolist() == [0] * 50 + data.tolist() and consumed == 72 + int(bl[1])


def test_one_byte_for_a_rare_symbol():
    f = np.zeros(256, U64)
    f[0], f[1] = 4095, 1
    c = R.cumulative(f)
    for symbol, nbytes in ((1, 1), (0, 0)):
        fs, bs, bo, bl = k.rans_encode_shards_parallel(np.array([symbol], U8), np.zeros(1, U32), np.ones(1, U32),
                                                       c[None], f[None], LOW)
        assert bl.tolist() == [nbytes]


@pytest.mark.parametrize("case, message", [
    ("short_sym", "range end index 512 out of range for slice of length 300"),
    ("short_cum", "range end index 514 out of range for slice of length 400"),
    ("data", "index out of bounds: the len is 20 but the index is 24"),
    ("offsets", "index out of bounds: the len is 1 but the index is 1"),
    ("freq4097", "index out of bounds: the len is 4097 but the index is 5000"),
    ("freq0", "symbol 9 of shard 1 has frequency 0 in its table"),
])
@pytest.mark.parametrize("path", SIMD_PATHS)
def test_encode_failures(case, message, path, monkeypatch):
    use_simd(monkeypatch, path)
    rng = np.random.default_rng(4)
    data, offsets, lengths, cum, sym, _ = make_shards(rng, [10, 10])
    if case == "short_sym":
        sym = np.resize(sym, (1, 300))
    elif case == "short_cum":
        cum = np.resize(cum, (1, 400))
    elif case == "data":
        offsets[1] = 15
    elif case == "offsets":
        offsets = offsets[:1].copy()
    elif case == "freq4097":
        sym[1, data[13]] = 5000
    else:
        sym[1, 9] = 0
        data[14] = 9
    assert panic_message(lambda: k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, LOW)) == message


@pytest.mark.parametrize("init", [LOW, 2**64 - 1])
@pytest.mark.parametrize("path", SIMD_PATHS)
def test_frequency_zero_is_found_anywhere_in_a_long_shard(init, path, monkeypatch):
    use_simd(monkeypatch, path)
    rng = np.random.default_rng(6)
    data, offsets, lengths, cum, sym, _ = make_shards(rng, [3, 5000, 7])
    absent = int(np.flatnonzero(sym[1] == 0)[0])
    for pos in (0, 1, 2500, 4995, 4999):
        bad = data.copy()
        bad[3 + pos] = absent
        msg = panic_message(lambda: k.rans_encode_shards_parallel(bad, offsets, lengths, cum, sym, init))
        assert msg == f"symbol {absent} of shard 1 has frequency 0 in its table"


def test_irregular_tables_are_coded_exactly():
    """Cumulative frequencies beyond 32 bits take the exact path and still match."""
    rng = np.random.default_rng(7)
    data, offsets, lengths, cum, sym, parts = make_shards(rng, [600])
    cum[0, int(data[300])] += 1 << 40
    fs, bs, bo, bl = k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, LOW)
    st, out = R.encode_stream(parts[0], sym[0], cum[0], LOW)
    assert fs[0].tolist() == st and bs[:bl[0]].tolist() == out


def test_garbage_cumulative_frequencies_cannot_overrun_a_region():
    """Huge cumulative frequencies make every step give out several bytes; the
    shard stops at the end of its region instead of writing into the next one."""
    rng = np.random.default_rng(14)
    data, offsets, lengths, cum, sym, _ = make_shards(rng, [3000, 5])
    cum[0] += np.uint64(1 << 62)
    msg = panic_message(lambda: k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, LOW))
    assert msg == "shard 0 gives out more bytes than its reserved region holds"


@pytest.mark.parametrize("lengths", [[2**31 - 512], [2**30, 2**30], [2**32 - 1, 0]])
def test_encode_refuses_regions_beyond_32_bit_offsets(lengths):
    n = len(lengths)
    with pytest.raises(ValueError) as info:
        k.rans_encode_shards_parallel(np.zeros(0, U8), np.zeros(n, U32), np.array(lengths, U32),
                                      np.zeros((n, 257), U64), np.zeros((n, 256), U64), LOW)
    assert "32-bit offsets" in str(info.value)


# ---------------------------------------------------------------- encoder kernels


def kernel_shards(rng):
    """Shards of every kind the encoder's kernels treat apart: lengths around
    the exact first group and up to 50001, tables from one symbol (not symbol
    0, so no shortcut) to uniform, a skewed one with rare symbols, cumulative
    frequencies just below 2^32, an unused frequency above 4096, and one used
    cumulative frequency beyond 32 bits (that shard is coded exactly)."""
    skewed = np.zeros(256, U64)
    skewed[[0, 7, 200]] = [4094, 1, 1]
    lone = np.zeros(256, U64)
    lone[77] = 4096
    freqs = [R.random_table(rng, n_symbols=n)[0] for n in (2, 3, 40, 256, 256, 256)]
    freqs += [skewed, np.full(256, 16, U64), lone]
    lengths = [0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 999, 4099, 50001, 12002, 30, 2047, 600, 5]
    tables = [(f, R.cumulative(f)) for f in freqs]
    tables = [tables[i % len(tables)] for i in range(len(lengths))]
    data, offsets, lengths, cum, sym, parts = make_shards(rng, lengths, tables=tables)
    cum[11] += np.uint64(2**32 - 1 - 4096)              # regular: states up to 2^39 + 2^32
    sym[10, np.flatnonzero(sym[10] == 0)[0]] = 5000     # never coded
    cum[13, parts[13][6000]] += np.uint64(1 << 40)      # coded: the shard goes exact
    return data, offsets, lengths, cum, sym, parts


def reference_encode(parts, lengths, cum, sym, init):
    offsets, total = R.region_sizes(lengths)
    fs, bs, bl = np.zeros((len(parts), 4), U64), np.zeros(total, U8), np.zeros(len(parts), U32)
    for i, part in enumerate(parts):
        st, out = R.encode_stream(part.tolist(), sym[i].tolist(), cum[i].tolist(), init)
        fs[i], bl[i] = st, len(out)
        bs[offsets[i]:offsets[i] + len(out)] = out
    return fs, bs, np.array(offsets, U32), bl


@pytest.mark.parametrize("init", [0, 5, LOW + 12345, (1 << 39) - 1, 2**64 - 1])
def test_every_kernel_matches_the_reference(init, monkeypatch):
    """States, bytes, the zeros around them, offsets and lengths, for each KELM_SIMD."""
    rng = np.random.default_rng(init % 1009)
    data, offsets, lengths, cum, sym, parts = kernel_shards(rng)
    expect = reference_encode(parts, lengths, cum, sym, init)
    for path in SIMD_PATHS:
        use_simd(monkeypatch, path)
        got = k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, init)
        for a, b in zip(got, expect):
            assert a.dtype == b.dtype and np.array_equal(a, b), path


@pytest.mark.parametrize("path", SIMD_PATHS)
def test_the_first_failing_shard_is_reported(path, monkeypatch):
    """Shard 9 fails last in its coding order, after a long fast part; shard 10
    fails sooner, after a short one, shard 17 in its exact first steps: 9 is
    reported."""
    use_simd(monkeypatch, path)
    rng = np.random.default_rng(15)
    lengths = np.full(30, 300)
    lengths[9] = 6000
    data, offsets, lengths, cum, sym, _ = make_shards(rng, lengths)
    for i, pos in ((9, 0), (10, 150), (17, 299)):
        data[offsets[i] + pos] = np.flatnonzero(sym[i] == 0)[0]
    msg = panic_message(lambda: k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, LOW))
    assert msg.endswith(" of shard 9 has frequency 0 in its table")


def test_encoder_ignores_the_callers_rounding_mode():
    """The pool's threads take the floating-point rounding of the thread that
    starts them; the AVX2 kernel's division must not depend on it."""
    script = """
    import ctypes, sys
    import numpy as np
    sys.path.insert(0, {tests!r})
    import ref_rans as R
    assert ctypes.CDLL("libm.so.6").fesetround(0x800) == 0  # FE_UPWARD, before the pool starts
    import kelm_rans as k
    rng = np.random.default_rng(16)
    f, c = R.random_table(rng)
    data = R.sample(rng, f, 3000)
    fs, bs, bo, bl = k.rans_encode_shards_parallel(data, np.zeros(1, np.uint32), np.array([3000], np.uint32),
                                                   c[None], f[None], 1 << 31)
    st, out = R.encode_stream(data.tolist(), f.tolist(), c.tolist(), 1 << 31)
    print(fs[0].tolist() == st and bs[:bl[0]].tolist() == out)
    """
    assert run_python(script.format(tests=os.path.dirname(__file__))).strip() == "True"


# ---------------------------------------------------------------- packing


def test_pack_example_record():
    out = np.full(40, 0xEE, U8)
    states = np.array([[LOW, LOW + 1, LOW + 2, LOW + 3]], U64)
    k.pack_shard_payloads(states, np.array([2], U32), np.array([1], U32), np.array([9, 0xAB, 0xCD], U8), out,
                          np.zeros(1, U32))
    expect = bytes.fromhex("0000008000000000 0100008000000000 0200008000000000 0300008000000000 02000000 abcd")
    assert out[:38].tobytes() == expect and out[38:].tolist() == [0xEE, 0xEE]
    assert R.pack_record([LOW, LOW + 1, LOW + 2, LOW + 3], [0xAB, 0xCD]) == expect


def test_pack_nothing_and_empty_sequences():
    out = np.full(50, 3, U8)
    k.pack_shard_payloads(np.zeros((0, 4), U64), np.zeros(0, U32), np.zeros(0, U32), np.zeros(0, U8), out,
                          np.zeros(0, U32))
    assert (out == 3).all()
    k.pack_shard_payloads(np.full((1, 4), 1, U64), np.zeros(1, U32), np.zeros(1, U32), np.zeros(0, U8), out,
                          np.array([10], U32))
    assert out[10:46].tobytes() == struct.pack("<4QI", 1, 1, 1, 1, 0) and (out[:10] == 3).all()


@pytest.mark.parametrize("case, message, written", [
    ("write_offsets", "index out of bounds: the len is 1 but the index is 1", 38),
    ("final_states", "index out of bounds: the len is 6 but the index is 6", 38 + 16),
    ("header", "index out of bounds: the len is 60 but the index is 60", 60),
    ("bs_offsets", "index out of bounds: the len is 1 but the index is 1", 38 + 36),
    ("place", "range end index 79 out of range for slice of length 78", 38 + 36),
    ("source", "range end index 7 out of range for slice of length 6", 38 + 36),
])
def test_pack_failures(case, message, written):
    states = np.arange(1, 9, dtype=U64).reshape(2, 4)
    lengths, offsets = np.array([2, 5], U32), np.array([0, 1], U32)
    streams = np.arange(10, 16, dtype=U8)
    writes = np.array([0, 38], U32)
    out_len = 100
    if case == "write_offsets":
        writes = writes[:1].copy()
    elif case == "final_states":
        states = states.reshape(-1)[:6].reshape(1, 6)
    elif case == "header":
        out_len = 60
    elif case == "bs_offsets":
        offsets = offsets[:1].copy()
    elif case == "place":
        out_len = 78
    elif case == "source":
        offsets[1] = 2
    out = np.zeros(out_len, U8)
    assert panic_message(lambda: k.pack_shard_payloads(states, lengths, offsets, streams, out, writes)) == message
    # Shard 0's record and the part of shard 1's header before the failure stay written.
    assert out[:38].tobytes() == R.pack_record([1, 2, 3, 4], [10, 11])
    full = R.pack_record([5, 6, 7, 8], [11, 12, 13, 14, 15])
    assert out[38:written].tobytes() == full[:written - 38] and not out[written:].any()


def test_pack_into_its_own_source():
    """out and bitstreams_flat may be one array: the copy still moves the right bytes."""
    buf = np.arange(100, dtype=U8)
    k.pack_shard_payloads(np.zeros((1, 4), U64), np.array([20], U32), np.array([50], U32), buf, buf,
                          np.array([0], U32))
    assert buf[36:56].tolist() == list(range(50, 70))


# ---------------------------------------------------------------- lookups and decoders


def test_build_all_lookups_examples():
    c0 = np.full(257, 4096, U64)
    c0[0] = 0
    c1 = np.arange(257, dtype=U64) * 16
    c2 = np.full(257, 4100, U64)
    c2[:7] = 0
    c2[7] = 100
    c3 = np.zeros(257, U64)  # overlapping, descending ranges: the higher symbol wins
    c3[1], c3[2], c3[3:] = 3000, 1000, 4096
    got = k.build_all_lookups(np.stack([c0, c1, c2, c3]).reshape(2, 2, 257))
    assert got.shape == (2, 2, 4096)
    assert (got[0, 0] == 0).all()
    assert got[0, 1].tolist() == [j // 16 for j in range(4096)]
    assert (got[1, 0, :100] == 6).all() and (got[1, 0, 100:] == 0).all()
    assert got[1, 1].tolist() == R.slot_lookup(c3)
    assert k.build_all_lookups(np.zeros((2, 3, 257), U64)).shape == (2, 3, 4096)
    assert k.build_all_lookups(np.zeros((0, 5, 257), U64)).shape == (0, 5, 4096)


def test_build_all_lookups_random_and_short_copies():
    rng = np.random.default_rng(8)
    cums = np.stack([R.random_table(rng)[1] for _ in range(12)]).reshape(3, 4, 257)
    cums[0, 0, 5] = 9999  # a range reaching beyond 4096 is skipped
    cums[1, 0] = cums[1, 0] // 2 + 7  # rising, with zeros before the first range and after the last
    cums[1, 1, 100:] = 4096  # rising, the last ranges empty
    got = k.build_all_lookups(cums)
    for t in range(12):
        assert got.reshape(12, 4096)[t].tolist() == R.slot_lookup(cums.reshape(12, 257)[t])
    assert panic_message(lambda: k.build_all_lookups(np.zeros((2, 3, 256), U64))) == (
        "range end index 1542 out of range for slice of length 1536")
    assert panic_message(lambda: k.build_all_lookups(np.zeros((1, 1, 0), U64))) == (
        "range end index 257 out of range for slice of length 0")


def test_decode_4way_core_edge_cases():
    f, c = R.random_table(np.random.default_rng(10))
    lut = np.array(R.slot_lookup(c), U8)
    empty = np.zeros(0, U8)
    k.rans_decode_4way_core(2**64 - 1, 0, 7, 1, empty, c, f, lut, empty)  # nothing read
    one_f, one_c = single_symbol_table(0)
    out = np.zeros(9, U8)
    k.rans_decode_4way_core(1, 2, 3, 4, empty, one_c, one_f, np.full(4096, 42, U8), out)
    assert (out == 42).all()
    assert panic_message(lambda: k.rans_decode_4way_core(1, 2, 3, 4, empty, c, np.zeros(0, U64), lut, empty)) == (
        "index out of bounds: the len is 0 but the index is 0")
    assert panic_message(lambda: k.rans_decode_4way_core(1, 2, 3, 4, empty, one_c, one_f, empty, out)) == (
        "index out of bounds: the len is 0 but the index is 0")


@pytest.mark.parametrize("table, length, message", [
    ("slot_lookup", 100, "index out of bounds: the len is 100 but the index is 3000"),
    ("sym_freqs", 4, "index out of bounds: the len is 4 but the index is 7"),
    ("cum_freqs", 7, "index out of bounds: the len is 7 but the index is 7"),
])
def test_decode_4way_core_short_tables(table, length, message):
    f = np.zeros(256, U64)
    f[3], f[7] = 3000, 1096
    c = R.cumulative(f)
    args = dict(cum_freqs=c, sym_freqs=f, slot_lookup=np.array(R.slot_lookup(c), U8))
    args[table] = args[table][:length].copy()
    out = np.full(3, 0xEE, U8)
    # st0 selects slot 3000 (symbol 7), st1 slot 5 (symbol 3).
    call = lambda: k.rans_decode_4way_core(3000 + (1 << 33), 5 + (1 << 33), LOW, LOW, np.zeros(0, U8), out=out,
                                           **args)
    assert panic_message(call) == message
    # The symbol is written before the frequency tables are read.
    assert out[0] == (0xEE if table == "slot_lookup" else 7)


def test_decode_4way_core_state_order():
    """Six symbols: positions 0-3 with st0-st3, then 4 with st0 and 5 with st1."""
    f = np.zeros(256, U64)
    f[:16] = 256
    c = R.cumulative(f)
    lut = np.array(R.slot_lookup(c), U8)
    states = [LOW + 256 * (i + 1) for i in range(4)]  # slot 256 (i + 1): symbol i + 1
    out = np.zeros(6, U8)
    k.rans_decode_4way_core(*states, np.zeros(0, U8), c, f, lut, out)
    assert out.tolist() == R.decode_stream(states, [], f, c, lut, 6)
    assert out[:4].tolist() == [1, 2, 3, 4]


@pytest.mark.parametrize("n", [8, 20000])  # the symbol-table and the per-slot-table decoder
def test_state_at_the_two_byte_limit_takes_two_bytes(n):
    """A step that leaves exactly 0x7FFFFF must read two bytes: one would stay below 2^31."""
    f = np.zeros(256, U64)
    f[:3] = [2048, 2047, 1]
    c = R.cumulative(f)
    lut = np.array(R.slot_lookup(c), U8)
    states = [4095 << 12 | 2047] + [1 << 35] * 3  # st0 -> 2048 * 4095 + 2047 = 0x7FFFFF
    stream = np.full(64, 0x11, U8)  # two bytes give slot 0x111 (symbol 0), one byte 0xF11 (symbol 1)
    out = np.zeros(n, U8)
    k.rans_decode_4way_core(*states, stream, c, f, lut, out)
    assert out[4] == 0
    assert out.tolist() == R.decode_stream(states, stream, f, c, lut, n)


def test_decode_shards_edge_cases():
    empty_tables = (np.zeros((0, 257), U64), np.zeros((0, 256), U64), np.zeros((0, 4096), U8))
    decoded, consumed = k.rans_decode_shards_parallel(np.zeros(0, U8), np.zeros(0, U32), *empty_tables)
    assert decoded.shape == (0,) and consumed == 0
    rng = np.random.default_rng(11)
    data, offsets, lengths, cum, sym, parts = make_shards(rng, [30, 20])
    fs, bs, bo, bl = k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, LOW)
    payload = pack(fs, bs, bo, bl, extra=13)
    lut = lookups_of(cum)
    decoded, consumed = k.rans_decode_shards_parallel(payload, lengths, cum, sym, lut)
    assert np.array_equal(decoded, data) and consumed == payload.size - 13
    # A last shard with count 0 and a byte count reaching far beyond the payload.
    tail = np.frombuffer(struct.pack("<4QI", 0, 0, 0, 0, 10**9), U8)
    payload2 = np.concatenate([payload[:consumed], tail])
    counts = np.array([30, 20, 0], U32)
    three = lambda a: np.concatenate([a, a[:1]])
    decoded, consumed2 = k.rans_decode_shards_parallel(payload2, counts, three(cum), three(sym), three(lut))
    assert np.array_equal(decoded, data) and consumed2 == consumed + 36 + 10**9


@pytest.mark.parametrize("cut, message", [
    (20, "range end index 24 out of range for slice of length 20"),
    (34, "range end index 36 out of range for slice of length 34"),
    ("bytes", None),
    ("rows", "range end index 514 out of range for slice of length 257"),
])
def test_decode_shards_failures(cut, message):
    rng = np.random.default_rng(12)
    data, offsets, lengths, cum, sym, parts = make_shards(rng, [30, 20])
    fs, bs, bo, bl = k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, LOW)
    payload = pack(fs, bs, bo, bl)
    lut = lookups_of(cum)
    if cut == "bytes":
        payload = payload[:-1].copy()
        message = f"range end index {payload.size + 1} out of range for slice of length {payload.size}"
    elif cut == "rows":
        cum = cum[:1].copy()
    else:
        payload = payload[:cut].copy()
    assert panic_message(lambda: k.rans_decode_shards_parallel(payload, lengths, cum, sym, lut)) == message


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", "")
                    and "allocator_may_return_null=1" not in os.environ.get("ASAN_OPTIONS", ""),
                    reason="the sanitizer's allocator aborts on a failed allocation")
def test_decode_too_large_output_is_a_memory_error():
    n = 4096
    payload = np.zeros(36 * n, U8)
    with pytest.raises(MemoryError):
        k.rans_decode_shards_parallel(payload, np.full(n, 2**32 - 1, U32), np.zeros((n, 257), U64),
                                      np.zeros((n, 256), U64), np.zeros((n, 4096), U8))


# ---------------------------------------------------------------- round trips and robustness


@pytest.mark.parametrize("layout", ["adjacent", "gaps", "overlapping"])
@pytest.mark.parametrize("seed", range(3))
def test_round_trip_random_layouts(layout, seed):
    rng = np.random.default_rng(100 + seed)
    n = int(rng.integers(1, 12))
    lengths = rng.choice([0, 1, 2, 3, 5, 8, 50, 300, 2000], size=n)
    tables = [R.random_table(rng, n_symbols=int(rng.choice([1, 2, 3, 40, 256]))) for _ in range(n)]
    if n > 1:
        tables[1] = single_symbol_table(0)
    data, offsets, lengths, cum, sym, parts = make_shards(rng, lengths, layout, tables)
    init = int(rng.integers(LOW, 1 << 39))
    fs, bs, bo, bl = k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, init)
    payload = pack(fs, bs, bo, bl)
    decoded, consumed = k.rans_decode_shards_parallel(payload, lengths, cum, sym, lookups_of(cum))
    expect = np.concatenate(parts) if parts else np.zeros(0, U8)
    if layout != "overlapping" and n > 1:
        expect = np.concatenate([p if i != 1 else np.zeros(len(p), U8) for i, p in enumerate(parts)])
    assert np.array_equal(decoded, expect) and consumed == payload.size


def test_corrupt_payloads_never_crash():
    rng = np.random.default_rng(13)
    data, offsets, lengths, cum, sym, _ = make_shards(rng, [200, 0, 64, 1, 500])
    fs, bs, bo, bl = k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, LOW)
    payload = pack(fs, bs, bo, bl)
    lut = lookups_of(cum)
    allowed = ("range end index",)
    outcomes = set()
    for trial in range(300):
        bad = payload.copy()
        if trial % 3 == 0:
            bad = bad[:int(rng.integers(0, bad.size))].copy()
        else:
            for pos in rng.integers(0, bad.size, int(rng.integers(1, 4))):
                bad[pos] ^= U8(1 << int(rng.integers(0, 8)))
        try:
            decoded, consumed = k.rans_decode_shards_parallel(bad, lengths, cum, sym, lut)
            assert decoded.size == data.size
            outcomes.add("decoded")
        except BaseException as e:  # noqa: B036 - the internal-error exception is a BaseException
            assert is_panic(e) and str(e).startswith(allowed), e
            outcomes.add("panic")
    assert outcomes == {"decoded", "panic"}


def test_panic_is_not_an_exception():
    caught = None
    try:
        try:
            k.build_all_lookups(np.zeros((1, 1, 3), U64))
        except Exception:  # must not catch it
            caught = "Exception"
    except BaseException as e:  # noqa: B036
        caught = e
    assert is_panic(caught)
    assert k.build_all_lookups(np.zeros((1, 1, 257), U64)).shape == (1, 1, 4096)  # later calls work


# ---------------------------------------------------------------- decoder paths (KELM_SIMD)

def decode_on(monkeypatch, path, *args):
    use_simd(monkeypatch, path)
    return k.rans_decode_shards_parallel(*args)


@pytest.mark.parametrize("path", SIMD_PATHS)
@pytest.mark.parametrize("seed", range(2))
def test_decode_paths_round_trip(monkeypatch, path, seed):
    """Real encodes, many shards of mixed lengths and tables: the vector decoder
    fills, refills and hands back its lanes."""
    rng = np.random.default_rng([700 + seed, SIMD_PATHS.index(path)])  # no leftovers of the same output
    n = 40
    lengths = rng.choice([0, 3, 2047, 2048, 2049, 4099, 9000, 30001, 100_000], size=n, p=[.1] * 8 + [.2])
    tables = [R.random_table(rng, n_symbols=int(rng.choice([2, 3, 16, 60, 256]))) for _ in range(n)]
    tables[3], tables[4] = single_symbol_table(0), single_symbol_table(7)
    skewed = np.zeros(256, U64)
    skewed[[0, 9]] = [4095, 1]  # a few bytes cover many symbols: long tails after the last 8 bytes
    tables[5] = (skewed, R.cumulative(skewed))
    lengths[3:6] = 30001
    data, offsets, lengths, cum, sym, parts = make_shards(rng, lengths, "adjacent", tables)
    fs, bs, bo, bl = k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, int(rng.integers(LOW, 1 << 39)))
    payload = pack(fs, bs, bo, bl)
    decoded, consumed = decode_on(monkeypatch, path, payload, lengths, cum, sym, lookups_of(cum))
    assert np.array_equal(decoded, data) and consumed == payload.size


def foreign_shard(rng, kind, broken=0):
    """States, tables and slot lookup of a foreign record. Kinds 0 and 1 keep the
    states below 2^44, every frequency below 4096 and each symbol's cumulative
    frequency at or below its first slot, as the vector decoder needs (kind 1 with
    states below 2^31 too); kind 2 breaks one of these (broken = 0..4); kind 3
    has only frequency 0, so that every step takes two bytes."""
    if rng.random() < 0.5:
        lut = np.sort(rng.integers(0, 256, 4096)).astype(U8)
    else:
        lut = rng.integers(0, 256, 4096).astype(U8)
    first = np.full(256, 4096, np.int64)
    np.minimum.at(first, lut.astype(np.int64), np.arange(4096))
    cum = np.zeros(257, U64)
    cum[:256] = rng.integers(0, first + 1).astype(U64)
    cum[256] = rng.integers(0, 1 << 63)
    sym = rng.integers(0, 4096, 256).astype(U64) if kind != 3 else np.zeros(256, U64)
    states = [int(x) for x in rng.integers(LOW if kind == 0 else 0, 1 << 44, 4, dtype=np.uint64)]
    s = int(lut[int(rng.integers(0, 4096))])
    if kind == 2 and broken == 0:
        states[int(rng.integers(0, 4))] = int(rng.integers(1 << 44, 1 << 45, dtype=np.uint64))
    elif kind == 2 and broken == 1:
        sym[s] = 4096
    elif kind == 2 and broken == 2:
        cum[s] = first[s] + 1
    elif kind == 2 and broken == 3:
        sym[0] = 4096  # the single-symbol shortcut
    elif kind == 2:
        sym[s] = 1 << 40
        states[0] = int(rng.integers(1 << 45, 1 << 64, dtype=np.uint64))
    return states, cum, sym, lut


def dirty_heap(size):
    """Leaves freed memory of a known pattern, so that a symbol a decoder fails to
    write does not read as the right one left behind by an earlier call."""
    junk = np.full(size, 0xA5, U8)
    del junk


@pytest.mark.parametrize("path", SIMD_PATHS)
@pytest.mark.parametrize("seed", range(3))
def test_decode_paths_match_on_foreign_payloads(monkeypatch, path, seed):
    """Random states, bytes and irregular tables, byte counts that run out mid-shard
    and counts that are not a multiple of 4: every path gives the scalar bytes."""
    rng = np.random.default_rng([800 + seed, SIMD_PATHS.index(path)])
    n = 72
    kinds = np.array([2] * 5 + [3] * 8 + list(rng.choice(2, size=n - 13)))
    counts = rng.choice([1, 6, 2048, 3001, 20_000], size=n).astype(U32)
    counts[kinds >= 2] = rng.choice([3001, 20_000], size=13)
    order = rng.permutation(n)
    kinds, counts = kinds[order], counts[order]
    kinds[:3], counts[:3] = 0, [3001, 3002, 3003]  # vector decoded up to their last 1, 2, 3 symbols
    records, cum, sym, lut = [], np.zeros((n, 257), U64), np.zeros((n, 256), U64), np.zeros((n, 4096), U8)
    broken = drained = 0
    for i in range(n):
        states, cum[i], sym[i], lut[i] = foreign_shard(rng, int(kinds[i]), broken=broken)
        size = int(rng.choice([0, 7, 8, 9, 100, 5000, 40_000])) if i >= 3 else 40_000
        if kinds[i] == 2:
            broken, size = broken + 1, 5000
        if kinds[i] == 3:
            drained, size = drained + 1, 800 + drained  # every remainder mod 8 of the bytes
        records.append(R.pack_record(states, rng.integers(0, 256, size, dtype=U8)))
    payload = np.frombuffer(b"".join(records), U8)
    want = decode_on(monkeypatch, "scalar", payload, counts, cum, sym, lut)
    dirty_heap(want[0].size)
    got = decode_on(monkeypatch, path, payload, counts, cum, sym, lut)
    assert np.array_equal(got[0], want[0]) and got[1] == want[1] == payload.size


POOL_SCRIPT = """
import hashlib, sys
import numpy as np
sys.path.insert(0, {tests!r})
import kelm_rans as k, ref_rans as R
from util import is_panic
rng = np.random.default_rng(21)
n = 40
tables = [R.random_table(rng) for _ in range(n)]
sym = np.stack([t[0] for t in tables]); cum = np.stack([t[1] for t in tables])
lengths = rng.integers(0, 3000, n).astype(np.uint32)
data = np.concatenate([R.sample(rng, t[0], int(m)) for t, m in zip(tables, lengths)])
offsets = np.concatenate([[0], np.cumsum(lengths.astype(np.int64))[:-1]]).astype(np.uint32)
res = k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, 1 << 31)
h = hashlib.sha256()
for a in res: h.update(a.tobytes())
fs, bs, bo, bl = res
writes = np.zeros(n, np.uint32); writes[1:] = np.cumsum(36 + bl.astype(np.int64))[:-1]
payload = np.zeros(int((36 + bl.astype(np.int64)).sum()), np.uint8)
k.pack_shard_payloads(fs, bl, bo, bs, payload, writes)
lut = k.build_all_lookups(cum.reshape(4, 10, 257))
h.update(lut.tobytes())
dec, used = k.rans_decode_shards_parallel(payload, lengths, cum, sym, lut.reshape(n, 4096))
assert np.array_equal(dec, data)
h.update(dec.tobytes())
for i in (31, 7, 19):  # several failing shards: the lowest one is reported
    absent = int(np.flatnonzero(sym[i] == 0)[0]); data[offsets[i]] = absent
try:
    k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, 1 << 31)
except BaseException as e:
    assert is_panic(e) and " of shard 7 " in str(e), e; h.update(str(e).encode())
print(h.hexdigest())
"""


def test_results_independent_of_pool_size():
    script = POOL_SCRIPT.format(tests=os.path.dirname(__file__))
    one = run_python(script, RAYON_NUM_THREADS="1")
    two = run_python(script, RAYON_NUM_THREADS="2")
    assert one == two and len(one.strip()) == 64


def test_concurrent_python_threads():
    rng = np.random.default_rng(22)
    data, offsets, lengths, cum, sym, _ = make_shards(rng, rng.integers(0, 5000, 24))
    lut = lookups_of(cum)

    def work():
        fs, bs, bo, bl = k.rans_encode_shards_parallel(data, offsets, lengths, cum, sym, LOW)
        decoded, _ = k.rans_decode_shards_parallel(pack(fs, bs, bo, bl), lengths, cum, sym, lut)
        return fs, bs, decoded

    expect = work()
    results, errors = [], []

    def thread_main():
        try:
            for _ in range(5):
                results.append(work())
        except BaseException as e:  # noqa: B036
            errors.append(e)

    threads = [threading.Thread(target=thread_main) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not errors and len(results) == 20
    for got in results:
        assert all(np.array_equal(a, b) for a, b in zip(got, expect))


def test_parallel_call_in_fork_child():
    script = """
    import os, sys
    import numpy as np
    import kelm_rans as k
    f = np.zeros((8, 256), np.uint64); f[:, 1] = 2048; f[:, 2] = 2048
    c = np.zeros((8, 257), np.uint64); c[:, 2] = 2048; c[:, 3:] = 4096
    data = np.tile(np.array([1, 2, 2, 1], np.uint8), 2000)
    lengths = np.full(8, 1000, np.uint32); offsets = (np.arange(8) * 1000).astype(np.uint32)
    parent = k.rans_encode_shards_parallel(data, offsets, lengths, c, f, 1 << 31)
    pid = os.fork()
    if pid == 0:
        child = k.rans_encode_shards_parallel(data, offsets, lengths, c, f, 1 << 31)
        lut = k.build_all_lookups(c[None])[0]
        ok = all(np.array_equal(a, b) for a, b in zip(parent, child)) and lut.shape == (8, 4096)
        os._exit(0 if ok else 3)
    _, status = os.waitpid(pid, 0)
    print(os.waitstatus_to_exitcode(status))
    """
    assert run_python(script, timeout=60, RAYON_NUM_THREADS="2").strip() == "0"
