"""Frequency tables, shard modes and the compacted table stream."""
import numpy as np
import pytest

import kelm_rans as k
import ref_tables as ref
from util import is_panic, run_python

NO_TEMPLATES = np.zeros((0, 256), np.uint64)
SINGLE = np.array(ref.single_symbol(), np.uint64)


def counts_of(pairs):
    c = np.zeros(256, np.uint64)
    for s, v in pairs.items():
        c[s] = v
    return c


def own_table(counts, width=256):
    mode, table = k.decide_shard_mode(counts, width, 0.0, NO_TEMPLATES, True)
    assert mode in (0, 3)
    return table


def panic_message(call):
    with pytest.raises(BaseException) as info:
        call()
    assert is_panic(info.value), repr(info.value)
    return str(info.value)


# ------------------------------------------------------------ normalisation

def _module_table(counts, width):
    return [int(v) for v in own_table(counts_of(counts), width)]


def _ref_table(counts, width):
    return ref.normalize(counts_of(counts).tolist(), width)


def _laplace_excess():
    return {s: 1 if s < 200 else 1000000 for s in range(256)}


# Worked examples, checked on the module and on the reference model alike.
@pytest.mark.parametrize("normalise", [_module_table, _ref_table], ids=["module", "reference"])
@pytest.mark.parametrize("counts, width, expect", [
    ({5: 1, 7: 3}, 256, {5: 1024, 7: 3072}),                      # exact shares, no correction
    ({3: 7, 4: 7, 5: 7}, 256, {3: 1365, 4: 1365, 5: 1366}),       # last of the equal largest takes the 1
    ({1: 1, 2: 1, 10: 5}, 8, {1: 585, 2: 3511}),                  # width drops symbols, not their weight
    (_laplace_excess(), 256, {**{s: 1 for s in range(200)}, 200: 1, 201: 25, 255: 1,
                              **{s: 73 for s in range(202, 255)}}),  # excess removed in symbol order
    ({1: 2**63, 2: 2**63}, 256, {1: 2048, 2: 2048}),              # the total does not wrap at 2^64
    ({1: 2**64 - 1, 2: 2**64 - 1, 3: 2**64 - 1, 4: 1}, 256, {1: 1365, 2: 1365, 3: 1365, 4: 1}),
])
def test_normalisation_examples(normalise, counts, width, expect):
    table = normalise(counts, width)
    assert sum(table) == 4096
    assert {s: v for s, v in enumerate(table) if v} == expect


@pytest.mark.parametrize("width", [0, 1])
def test_tiny_widths(width):
    # Width 0 always gives 4096 at symbol 0; width 1 leaves only symbol 0.
    mode, t = k.decide_shard_mode(counts_of({0: 3, 9: 5}), width, 120.0, NO_TEMPLATES, False)
    assert mode == 0 and list(t) == list(SINGLE)


def _random_counts(rng, kind):
    c = np.zeros(256, np.uint64)
    if kind == "sparse":
        idx = rng.choice(256, rng.integers(1, 6), replace=False)
        c[idx] = rng.integers(1, 50, len(idx))
    elif kind == "dense":
        c[:] = rng.integers(0, 1000, 256)
    elif kind == "laplace":
        v = np.abs(rng.laplace(0, rng.uniform(0.3, 20), 5000)).astype(np.int64)
        c[:] = np.bincount(np.minimum(v, 255), minlength=256)
    elif kind == "huge":
        idx = rng.choice(256, rng.integers(1, 4), replace=False)
        c[idx] = [2**63 - int(rng.integers(0, 1000)) for _ in idx]
        c[rng.integers(0, 256)] = rng.integers(0, 2**62)
    elif kind == "max":  # the exact total exceeds 2^64
        idx = rng.choice(256, rng.integers(2, 40), replace=False)
        c[idx] = [2**64 - 1 - int(rng.integers(0, 2**40)) for _ in idx]
    elif kind == "many_small":  # step 8 on many entries
        c[:] = 1
        c[rng.choice(256, 10, replace=False)] = rng.integers(10**5, 10**7, 10)
    if not c[1:].any():
        c[rng.integers(1, 256)] = 1
    return c


def _random_templates(rng, counts, n):
    rows = []
    for _ in range(n):
        kind = rng.integers(0, 4)
        if kind == 0:  # a close competitor of the own table
            noisy = counts.astype(np.float64) * rng.uniform(0.5, 1.5, 256)
            rows.append(ref.normalize([int(v) + 1 for v in noisy], 256))
        elif kind == 1:  # zeros at some symbols
            row = rng.integers(0, 64, 256)
            row[rng.random(256) < 0.3] = 0
            rows.append([int(v) for v in row])
        elif kind == 2:
            rows.append([int(v) for v in rng.integers(1, 2**63, 256)])
        else:
            rows.append(ref.normalize([int(v) for v in rng.integers(1, 100, 256)], 256))
    return rows


@pytest.mark.parametrize("kind", ["sparse", "dense", "laplace", "huge", "max", "many_small"])
@pytest.mark.parametrize("width", [0, 1, 8, 255, 256, 300])
def test_decision_matches_reference(kind, width):
    rng = np.random.default_rng([width, len(kind)])
    for case in range(6):
        counts = _random_counts(rng, kind)
        templates = _random_templates(rng, counts, int(rng.integers(0, 6)))
        penalty = float(rng.choice([0.0, 120.0, -50.0, 1e9, 1e30]))
        disable = bool(case % 3 == 2)
        tarr = np.array(templates, np.uint64).reshape(-1, 256)
        mode, table = k.decide_shard_mode(counts, width, penalty, tarr, disable)
        want_mode, want_table = ref.decide(counts, width, penalty, templates, disable)
        assert (mode, [int(v) for v in table]) == (want_mode, want_table), (kind, width, case)
        if mode == 0:
            assert int(table.sum()) == 4096 and table.max() <= 4096
            present = [s for s in range(min(width, 256)) if counts[s]]
            assert all(table[s] >= 1 for s in present) or width == 0


# ------------------------------------------------------------ mode decision

@pytest.mark.parametrize("counts", [{}, {0: 1000}])
def test_only_symbol_zero_gives_single_symbol_mode(counts):
    templates = np.tile(SINGLE, (3, 1))
    mode, t = k.decide_shard_mode(counts_of(counts), 256, 1e9, templates, False)
    assert mode == 3 and list(t) == list(SINGLE)


@pytest.mark.parametrize("penalty, mode", [(0.0, 0), (1e-9, 4), (-1.0, 0), (float("nan"), 0), (float("inf"), 4)])
def test_template_equal_to_own_table_needs_a_positive_penalty(penalty, mode):
    c = counts_of({1: 5, 2: 9, 40: 3})
    templates = own_table(c).reshape(1, 256)
    assert k.decide_shard_mode(c, 256, penalty, templates, False)[0] == mode


def test_template_tie_goes_to_lower_row_and_result_is_a_copy():
    c = counts_of({1: 5, 2: 9, 40: 3})
    good = own_table(c)
    templates = np.stack([np.full(256, 16, np.uint64), good, good])
    mode, t = k.decide_shard_mode(c, 256, 120.0, templates, False)
    assert mode == 5 and list(t) == list(good)
    t[:] = 0
    assert list(templates[1]) == list(good)
    assert k.decide_shard_mode(c, 256, 120.0, templates, True)[0] == 0


def test_best_template_missing_a_symbol_falls_back_to_own_table():
    # Row 0 is cheapest but cannot code symbol 3; row 1 could, yet is not tried.
    c = counts_of({1: 1000, 2: 1000, 3: 1})
    cheap = np.zeros(256, np.uint64)
    cheap[1] = cheap[2] = 2048
    usable = np.full(256, 16, np.uint64)
    mode, t = k.decide_shard_mode(c, 256, 1e9, np.stack([cheap, usable]), False)
    assert mode == 0 and list(t) == list(own_table(c))
    assert k.decide_shard_mode(c, 256, 1e9, usable.reshape(1, 256), False)[0] == 4


def test_rows_beyond_252_are_never_chosen():
    # Row 260 matches perfectly, but the mode byte cannot name it.
    c = counts_of({1: 500, 2: 300, 7: 1})
    rows = np.full((300, 256), 16, np.uint64)
    rows[260] = rows[100] = own_table(c)
    rows[100, 1] -= 8  # a little worse than the own table
    rows[100, 7] += 8
    mode, t = k.decide_shard_mode(c, 256, 1e9, rows, False)
    assert mode == 104 and list(t) == list(rows[100])
    data = np.repeat(np.array([1, 2, 7], np.uint8), [500, 300, 1])
    _, sym, modes = k.build_pdf_tables_from_shards(data, np.array([0], np.uint32), np.array([801], np.uint32),
                                                    np.array([256], np.uint16), rows, False)
    assert modes[0] == 104 and list(sym[0]) == list(rows[100])


def test_templates_are_read_as_flat_rows():
    # Templates are copied in logical row-major order, then rows are taken 256 values apart.
    rng = np.random.default_rng(1)
    c = counts_of({3: 10, 44: 10, 200: 1})
    wide = rng.integers(1, 4096, (2, 300)).astype(np.uint64)
    flat = wide.reshape(-1).tolist()
    want = ref.decide(c, 256, 1e9, [flat[:256], flat[256:512]], False)
    got = k.decide_shard_mode(c, 256, 1e9, np.asfortranarray(wide), False)
    assert want[0] >= 4 and (got[0], list(got[1])) == want


def test_decide_shard_mode_argument_errors():
    with pytest.raises(ValueError, match="^counts must have exactly 256 elements$"):
        k.decide_shard_mode(np.zeros(255, np.uint64), 256, 1.0, NO_TEMPLATES, False)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        k.decide_shard_mode(np.zeros(512, np.uint64)[::2], 256, 1.0, NO_TEMPLATES, False)
    with pytest.raises(TypeError, match="argument 'counts'"):
        k.decide_shard_mode(np.zeros(256, np.int64), 256, 1.0, NO_TEMPLATES, False)
    with pytest.raises(TypeError, match="argument 'header_penalty_bits'"):
        k.decide_shard_mode(np.zeros(256, np.uint64), 256, "x", NO_TEMPLATES, False)
    with pytest.raises(TypeError, match="argument 'disable_templates'"):
        k.decide_shard_mode(np.zeros(256, np.uint64), 256, 1.0, NO_TEMPLATES, 1)
    # A (16, 16) counts array is contiguous and has 256 elements, but is 2-D.
    with pytest.raises(TypeError, match="argument 'counts'"):
        k.decide_shard_mode(np.zeros((16, 16), np.uint64), 256, 1.0, NO_TEMPLATES, False)


def test_short_template_rows_stop_only_when_consulted():
    c = counts_of({1: 1})
    short = np.full((1, 255), 16, np.uint64)
    msg = panic_message(lambda: k.decide_shard_mode(c, 256, 1.0, short, False))
    assert msg == "range end index 256 out of range for slice of length 255"
    assert k.decide_shard_mode(c, 256, 1.0, short, True)[0] == 0
    assert k.decide_shard_mode(counts_of({0: 9}), 256, 1.0, short, False)[0] == 3


# ------------------------------------------------------------ building from shards

def _build(data, offsets, lengths, widths, templates=NO_TEMPLATES, disable=False):
    return k.build_pdf_tables_from_shards(np.asarray(data, np.uint8), np.asarray(offsets, np.uint32),
                                          np.asarray(lengths, np.uint32), np.asarray(widths, np.uint16),
                                          templates, disable)


def _random_shards(rng, n, size):
    data = np.minimum(np.abs(rng.laplace(0, 4, size)), 255).astype(np.uint8)
    data[rng.random(size) < 0.01] = rng.integers(0, 256)
    offsets = rng.integers(0, size, n).astype(np.uint32)
    lengths = np.array([rng.integers(0, size - o + 1) for o in offsets], np.uint32)
    lengths[rng.random(n) < 0.1] = 0
    widths = rng.choice([0, 1, 5, 16, 255, 256, 300, 65535], n).astype(np.uint16)
    return data, offsets, lengths, widths


@pytest.mark.parametrize("disable", [False, True])
def test_build_matches_reference(disable):
    rng = np.random.default_rng(7)
    data, offsets, lengths, widths = _random_shards(rng, 40, 5000)
    templates = [ref.normalize(np.bincount(data[:500 * (t + 1)], minlength=256), 256) for t in range(4)]
    tarr = np.array(templates, np.uint64)
    cum, sym, modes = _build(data, offsets, lengths, widths, tarr, disable)
    assert (cum.dtype, sym.dtype, modes.dtype) == (np.uint64, np.uint64, np.uint8)
    assert (cum.shape, sym.shape, modes.shape) == ((40, 257), (40, 256), (40,))
    for i in range(40):
        counts = np.bincount(data[offsets[i]:offsets[i] + lengths[i]], minlength=256)
        if counts.sum() == 0:
            want = (3, ref.single_symbol())
        else:
            want = ref.decide(counts, int(widths[i]), 120.0, templates, disable)
        assert (modes[i], list(sym[i])) == want, i
        assert list(cum[i]) == ref.cumulative(want[1])
    assert not disable or modes.max() <= 3
    assert disable or modes.max() >= 4


def test_build_edge_shapes_and_empty_shards():
    cum, sym, modes = _build([], [], [], [])
    assert (cum.shape, sym.shape, modes.shape) == ((0, 257), (0, 256), (0,))
    # Shard 0 empty, shard 1 only zeros, shard 2 has no offset entry.
    cum, sym, modes = _build([0, 0, 5, 6], [1, 0], [0, 2, 4], [256, 256])
    assert list(modes) == [3, 3, 3]
    assert all(list(r) == list(SINGLE) for r in sym)
    assert list(cum[2]) == [0] + [4096] * 256


@pytest.mark.parametrize("offsets, lengths, message", [
    ([3], [2], "range end index 5 out of range for slice of length 4"),
    ([2**32 - 1], [2**32 - 1], f"range end index {2 * (2**32 - 1)} out of range for slice of length 4"),
    ([0, 0, 0], [1, 1, 1], "index out of bounds: the len is 1 but the index is 1"),
    ([0, 3], [1, 5], "range end index 8 out of range for slice of length 4"),  # slices are checked first
])
def test_build_failures(offsets, lengths, message):
    assert panic_message(lambda: _build([1, 2, 3, 4], offsets, lengths, [256])) == message


def test_build_short_widths_only_matter_for_shards_with_symbols():
    cum, sym, modes = _build([1, 2, 3, 4], [0, 0], [4, 0], [256])
    assert list(modes) == [0, 3]


def test_build_short_templates_and_contiguity():
    short = np.full((2, 200), 16, np.uint64)
    msg = panic_message(lambda: _build([1, 2], [0], [2], [256], short))
    assert msg == "range end index 512 out of range for slice of length 400"
    assert list(_build([1, 2], [0], [2], [256], short, True)[2]) == [0]
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        k.build_pdf_tables_from_shards(np.zeros(8, np.uint8), np.zeros(4, np.uint32)[::2],
                                       np.zeros(2, np.uint32), np.zeros(2, np.uint16), NO_TEMPLATES, False)


def test_histogram_of_long_runs_odd_lengths_and_long_shards():
    # Runs of one value, lengths that are not multiples of the load size, and
    # shards longer than the pieces they are counted in.
    rng = np.random.default_rng(2)
    data = np.concatenate([np.full(100003, 9, np.uint8), np.arange(256, dtype=np.uint8).repeat(17),
                           rng.integers(0, 40, 3 << 20, dtype=np.uint8)])
    offsets = [0, 1, 99990, 100003, 7, 3]
    lengths = [100003, 7, 4000, 256 * 17, len(data) - 7, (2 << 20) + 5]
    cum, sym, modes = _build(data, offsets, lengths, [256] * 6)
    for i in range(6):
        counts = np.bincount(data[offsets[i]:offsets[i] + lengths[i]], minlength=256)
        assert list(sym[i]) == ref.decide(counts, 256, 120.0, [], False)[1]


def test_build_same_result_for_pool_sizes_1_and_2():
    code = """
        import hashlib, numpy as np, kelm_rans as k
        rng = np.random.default_rng(3)
        data = np.minimum(np.abs(rng.laplace(0, 6, 3000000)), 255).astype(np.uint8)
        offsets = np.arange(0, 3000000, 30000, dtype=np.uint32)
        lengths = np.full(100, 30000, np.uint32)
        offsets[7], lengths[7] = 5, 2900000
        widths = np.full(100, 256, np.uint16)
        templates = np.full((3, 256), 16, np.uint64)
        out = k.build_pdf_tables_from_shards(data, offsets, lengths, widths, templates, False)
        print(hashlib.sha256(b"".join(a.tobytes() for a in out)).hexdigest())
    """
    assert run_python(code, RAYON_NUM_THREADS="1") == run_python(code, RAYON_NUM_THREADS="2")


# ------------------------------------------------------------ compaction and expansion

def _compact(tables, widths, modes):
    return k.compact_pdf_tables(np.asarray(tables, np.uint64).reshape(-1, 256), np.asarray(widths, np.uint16),
                                np.asarray(modes, np.uint8))


def _expand(stream, widths, modes, templates=NO_TEMPLATES):
    return k.expand_pdf_tables(np.frombuffer(bytes(stream), np.uint8), np.asarray(widths, np.uint16),
                               np.asarray(modes, np.uint8), templates)


@pytest.mark.parametrize("present, length, tag", [(85, 258, 1), (170, 513, 0), (0, 3, 1), (1, 6, 1)])
def test_sparse_only_when_strictly_shorter(present, length, tag):
    row = np.zeros(256, np.uint64)
    row[np.linspace(0, 255, present).astype(int) if present else []] = 7
    out = _compact([row], [256], [0])
    assert (out.dtype, len(out), out[0]) == (np.uint8, length, tag)


def test_tiny_widths_are_dense():
    out = _compact([own_table(counts_of({0: 4}), 1), np.ones(256)], [1, 0], [0, 0])
    assert list(out) == [0, 0x00, 0x10, 0]
    rows = _expand(out, [1, 0], [0, 0])
    assert list(rows[0]) == list(SINGLE) and not rows[1].any()


def test_only_stored_modes_are_written():
    tables = np.full((4, 256), 3, np.uint64)
    assert len(_compact(tables, [256] * 4, [3, 4, 200, 255])) == 0
    assert _compact(tables, [4] * 3, [0, 1, 2]).tobytes() == bytes([0, 3, 0, 3, 0, 3, 0, 3, 0] * 3)
    rows = _expand(b"", [256, 256, 8], [0, 1, 2])
    assert all(list(r) == list(SINGLE) for r in rows)


def test_compact_matches_reference_and_round_trips():
    rng = np.random.default_rng(11)
    templates = rng.integers(0, 5000, (5, 256)).astype(np.uint64)
    for case in range(20):
        n = int(rng.integers(0, 30))
        widths = rng.integers(0, 257, n)
        widths[rng.random(n) < 0.2] = 256
        modes = rng.choice([0, 1, 2, 3, 4, 6, 8, 9, 255], n)
        tables = np.zeros((n, 256), np.uint64)
        for i in range(n):
            c = _random_counts(rng, rng.choice(["sparse", "dense", "laplace"]))
            tables[i] = ref.normalize(c, int(widths[i]))
        if case % 4 == 0:  # values above 16 bits keep their low 16 bits, values above the width are dropped
            tables = rng.integers(0, 2**40, (n, 256)).astype(np.uint64)
        out = _compact(tables, widths, modes)
        assert out.tobytes() == ref.compact(tables.tolist(), widths.tolist(), modes.tolist())
        rows = _expand(out, widths, modes, templates)
        assert rows.shape == (n, 256) and rows.dtype == np.uint64
        assert rows.tolist() == ref.expand(out.tobytes(), widths.tolist(), modes.tolist(), templates.tolist())
        for i in range(n):
            if modes[i] <= 2 and case % 4:
                assert list(rows[i]) == list(tables[i])
            elif modes[i] == 3 or modes[i] - 4 >= 5:
                assert list(rows[i]) == list(SINGLE)
            elif modes[i] >= 4:
                assert list(rows[i]) == list(templates[modes[i] - 4])


@pytest.mark.parametrize("stream, widths, want_rows", [
    # sparse record with fewer than 3 bytes left: skip 1 byte
    (b"\x01\x00", [4, 4], [None, None]),
    # sparse record whose K symbols do not fit: skip the 3-byte head
    (b"\x01\x05\x00" b"\x01\x01\x00\x02\x09\x00", [4, 4], [None, [0, 0, 9, 0]]),
    # truncated dense record: skip the tag; the next record starts at byte 1
    (b"\x00\x01\x02\x00\x05\x00", [8, 1], [None, None]),
    (b"\x00" b"\x00\x00\x00\x05\x00", [8, 2], [None, [0, 5]]),
    # unknown tag: skip 1 byte
    (b"\x07\x01\x01\x00\x03\x08\x00", [4, 4], [None, [0, 0, 0, 8]]),
    # a sparse record may list symbols at or above the width
    (b"\x01\x01\x00\xc8\x10\x00", [2], [[0] * 200 + [16]]),
])
def test_damaged_records_skip_as_documented(stream, widths, want_rows):
    rows = _expand(stream, widths, [0] * len(widths))
    for row, want in zip(rows, want_rows):
        if want is None:
            assert list(row) == list(SINGLE)
        else:
            assert list(row[:len(want)]) == want and not row[len(want):].any()


def test_expanding_random_bytes_never_fails():
    rng = np.random.default_rng(5)
    templates = rng.integers(0, 100, (3, 256)).astype(np.uint64)
    for case in range(200):
        size = int(rng.integers(0, 700))
        stream = rng.integers(0, 256, size, dtype=np.uint8)
        if case % 2:  # mostly small tags and K values
            stream[rng.random(size) < 0.5] = rng.integers(0, 3)
        n = int(rng.integers(0, 12))
        widths = rng.integers(0, 257, n)
        modes = rng.integers(0, 256, n) if case % 3 == 0 else rng.integers(0, 5, n)
        rows = _expand(stream, widths, modes, templates)
        assert rows.tolist() == ref.expand(stream.tobytes(), widths.tolist(), modes.tolist(), templates.tolist())


def test_truncated_streams_match_reference():
    rng = np.random.default_rng(9)
    n = 12
    widths = rng.integers(1, 257, n)
    tables = [ref.normalize(_random_counts(rng, "laplace"), int(w)) for w in widths]
    stream = _compact(tables, widths, [0] * n).tobytes()
    for cut in sorted(set(rng.integers(0, len(stream), 40).tolist())):
        rows = _expand(stream[:cut], widths, [0] * n)
        assert rows.tolist() == ref.expand(stream[:cut], widths.tolist(), [0] * n, [])


def test_width_above_256():
    # Never written; a dense record cannot be read for it without leaving the row.
    msg = "index out of bounds: the len is 256 but the index is 256"
    assert panic_message(lambda: _compact([np.ones(256)], [300], [0])) == msg
    assert panic_message(lambda: _expand(b"\x00" + b"\x01\x00" * 300, [300], [0])) == msg
    assert len(_compact([np.ones(256)], [300], [3])) == 0
    rows = _expand(b"\x01\x01\x00\x05\x10\x00", [300, 300], [0, 0])
    assert rows[0, 5] == 16 and list(rows[1]) == list(SINGLE)


@pytest.mark.parametrize("call, message", [
    (lambda: _compact(np.ones((2, 256)), [4, 4], [0]), "index out of bounds: the len is 1 but the index is 1"),
    (lambda: _expand(b"", [4, 4], [3]), "index out of bounds: the len is 1 but the index is 1"),
    (lambda: _compact(np.ones((1, 256)), [4, 4], [3, 0]), "range end index 512 out of range for slice of length 256"),
    (lambda: _expand(b"", [4], [5], np.ones((2, 100), np.uint64)),
     "range end index 512 out of range for slice of length 200"),
])
def test_stream_failures(call, message):
    assert panic_message(call) == message


def test_stream_argument_handling():
    tables = np.asfortranarray(np.arange(512, dtype=np.uint64).reshape(2, 256))
    assert _compact(tables, [3, 3], [0, 0]).tobytes() == bytes([0, 0, 0, 1, 0, 2, 0, 0, 0, 1, 1, 1, 2, 1])
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        k.compact_pdf_tables(tables, np.zeros(4, np.uint16)[::2], np.zeros(2, np.uint8))
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        k.expand_pdf_tables(np.zeros(8, np.uint8)[::2], np.zeros(2, np.uint16), np.zeros(2, np.uint8), NO_TEMPLATES)
    with pytest.raises(TypeError, match="^argument 'shard_modes': "):
        k.compact_pdf_tables(tables, np.zeros(2, np.uint16), np.zeros(2, np.uint16))
    with pytest.raises(TypeError, match="^compact_pdf_tables\\(\\) missing 1 required positional argument: "
                                        "'shard_modes'$"):
        k.compact_pdf_tables(tables, np.zeros(2, np.uint16))


# ------------------------------------------------------------ the whole road

@pytest.mark.parametrize("disable", [False, True])
def test_shards_round_trip_through_the_table_stream(disable):
    rng = np.random.default_rng(21)
    n, size = 24, 60000
    data = np.minimum(np.abs(rng.laplace(0, 3, size)), 200).astype(np.uint8)
    data[:2500] = 0                       # a shard of zeros only
    data[2500:5000] = rng.integers(0, 3, 2500)
    lengths = rng.integers(0, 2 * size // n, n).astype(np.uint32)
    lengths[3] = 0
    offsets = np.concatenate([[0], np.cumsum(lengths[:-1])]).astype(np.uint32)
    lengths[0], lengths[1], offsets[1] = 2500, 2500, 2500
    offsets = np.minimum(offsets, size - lengths).astype(np.uint32)
    widths = np.full(n, 256, np.uint16)
    widths[5:9] = 201
    templates = np.array([ref.normalize(np.bincount(data[offsets[i]:offsets[i] + lengths[i]], minlength=256)
                                        + 1, 256) for i in (6, 7)], np.uint64)
    cum, sym, modes = k.build_pdf_tables_from_shards(data, offsets, lengths, widths, templates, disable)
    stream = k.compact_pdf_tables(sym, widths, modes)
    rows = k.expand_pdf_tables(stream, widths, modes, templates)
    assert np.array_equal(rows, sym)
    cum2 = np.concatenate([np.zeros((n, 1), np.uint64), np.cumsum(rows, axis=1, dtype=np.uint64)], axis=1)
    assert np.array_equal(cum2, cum)
    assert {0, 3} <= set(modes.tolist()) and (modes.max() >= 4) != disable

    if not hasattr(k, "rans_encode_shards_parallel"):
        pytest.skip("the rANS coder is not part of this build")
    lookups = k.build_all_lookups(cum2.reshape(1, n, 257)).reshape(n, 4096)
    states, streams, bs_offsets, bs_lengths = k.rans_encode_shards_parallel(data, offsets, lengths, cum2, rows,
                                                                             2**31)
    write = np.concatenate([[0], np.cumsum(36 + bs_lengths.astype(np.int64))]).astype(np.uint32)
    payload = np.zeros(int(write[-1]), np.uint8)
    k.pack_shard_payloads(states, bs_lengths, bs_offsets, streams, payload, write[:-1].copy())
    decoded, consumed = k.rans_decode_shards_parallel(payload, lengths, cum2, rows, lookups)
    assert consumed == len(payload)
    want = np.concatenate([data[o:o + l] for o, l in zip(offsets, lengths)])
    assert np.array_equal(decoded, want)
