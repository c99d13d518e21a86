"""A small pure-Python model of the frequency tables, the shard mode decision
and the compacted table stream, used by the differential tests."""
import math
import sys

TOTAL = 4096
MAX_TEMPLATE_ROWS = 252
U64_MAX = 2**64 - 1


def single_symbol():
    return [TOTAL] + [0] * 255


def cumulative(freqs):
    cum = [0]
    for f in freqs:
        cum.append(cum[-1] + f)
    return cum


def _round_half_away(x):
    r = math.floor(x)
    if x - r >= 0.5:
        r += 1
    return r


def normalize(counts, width):
    counts = [int(c) for c in counts]
    total = sum(counts)
    f = [0] * 256
    if width == 0:
        f[0] = TOTAL
        return f
    n = min(width, 256)
    for k in range(n):
        if counts[k]:
            x = float(counts[k]) / float(total)
            x = x * 4096.0
            v = min(max(_round_half_away(x), 0), U64_MAX)
            f[k] = v if v else 1
    s = sum(f[:n])
    j = max(range(n), key=lambda k: (f[k], k))
    r = f[j] + TOTAL - s
    if r > 0:
        f[j] = r
        return f
    excess = s - f[j] + 1 - TOTAL
    f[j] = 1
    for k in range(n):
        if excess == 0:
            break
        if k != j and f[k] >= 2:
            d = min(excess, f[k] - 1)
            f[k] -= d
            excess -= d
    return f


def bit_cost(counts, freqs):
    cost = 0.0
    for c, f in zip(counts, freqs):
        c, f = int(c), int(f)
        if c > 0:
            cost += ((12.0 - math.log2(float(f))) if f else 24.0) * float(c)
    return cost


def decide(counts, width, penalty, templates, disable):
    """(mode, table); templates is a list of 256-value rows."""
    counts = [int(c) for c in counts]
    if not any(counts[1:]):
        return 3, single_symbol()
    own = normalize(counts, width)
    if disable or not templates:
        return 0, own
    best, best_cost = 0, sys.float_info.max
    for t, row in enumerate(templates[:MAX_TEMPLATE_ROWS]):
        cost = bit_cost(counts, row)
        if cost < best_cost:
            best, best_cost = t, cost
    if penalty + bit_cost(counts, own) > best_cost:
        row = [int(v) for v in templates[best]]
        if any(c > 0 and row[s] == 0 for s, c in enumerate(counts)):
            return 0, own
        return 4 + best, row
    return 0, own


def compact(tables, widths, modes):
    out = bytearray()
    for row, w, m in zip(tables, widths, modes):
        if m > 2:
            continue
        present = [s for s in range(w) if row[s]]
        if 3 * len(present) + 2 < 2 * w:
            out.append(1)
            out += len(present).to_bytes(2, "little")
            out += bytes(present)
            for s in present:
                out += (int(row[s]) & 0xFFFF).to_bytes(2, "little")
        else:
            out.append(0)
            for s in range(w):
                out += (int(row[s]) & 0xFFFF).to_bytes(2, "little")
    return bytes(out)


def expand(stream, widths, modes, templates):
    """Rows of 256 values; a dense record for a width above 256 raises IndexError."""
    stream = bytes(stream)
    rows, p = [], 0
    for w, m in zip(widths, modes):
        row = [0] * 256
        rows.append(row)
        if m >= 4:
            row[:] = [int(v) for v in templates[m - 4]] if m - 4 < len(templates) else single_symbol()
            continue
        if m == 3 or p >= len(stream):
            row[:] = single_symbol()
            continue
        left = len(stream) - p
        tag = stream[p]
        if tag == 1:
            if left < 3:
                row[:], p = single_symbol(), p + 1
                continue
            k = int.from_bytes(stream[p + 1:p + 3], "little")
            if 3 + 3 * k > left:
                row[:], p = single_symbol(), p + 3
                continue
            for j in range(k):
                s = stream[p + 3 + j]
                row[s] = int.from_bytes(stream[p + 3 + k + 2 * j:p + 5 + k + 2 * j], "little")
            p += 3 + 3 * k
        elif tag == 0:
            if w > 256:
                raise IndexError(w)
            if 1 + 2 * w > left:
                row[:], p = single_symbol(), p + 1
                continue
            for s in range(w):
                row[s] = int.from_bytes(stream[p + 1 + 2 * s:p + 3 + 2 * s], "little")
            p += 1 + 2 * w
        else:
            row[:], p = single_symbol(), p + 1
    return rows
