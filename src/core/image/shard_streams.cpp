#include "core/image/shard_streams.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "core/common/cpu_features.hpp"
#include "core/common/failure.hpp"
#include "core/common/huge_pages.hpp"
#include "core/common/table_memo.hpp"
#include "core/image/image_size.hpp"
#include "core/image/row_stage.hpp"
#include "core/pool/pool.hpp"

namespace kelm {

namespace {

constexpr std::size_t kChunkPixels = std::size_t(1) << 16;
constexpr std::size_t kMaxChunks = 64;

// A byte function as its value at 0 plus its changes (mod 256) at up to
// kMaxSteps points: f(v) = base + the sum of inc[i] over the points at[i] <= v.
constexpr int kMaxSteps = 16;

struct Steps {
    uint8_t base = 0;
    int count = 0;
    uint8_t at[kMaxSteps] = {}, inc[kMaxSteps] = {};
    // The same function by the value's high nibble h, when each of the blocks
    // [16h, 16h + 16) from h = 1 on changes at most at one point: f(v) is
    // low[v] below 16, else block[h] plus block_inc[h] from block_at[h] on.
    bool nibbles = false;
    uint8_t low[16] = {}, block[16] = {}, block_at[16] = {}, block_inc[16] = {};

    uint8_t operator()(uint8_t v) const {
        uint8_t r = base;
        for (int i = 0; i < count; ++i) r = uint8_t(r + (v >= at[i] ? inc[i] : 0));
        return r;
    }
};

// f's steps; nullopt when it changes at more than kMaxSteps points.
std::optional<Steps> steps_of(const uint8_t* f) {
    Steps s;
    s.base = f[0];
    for (int v = 1; v < 256; ++v) {
        if (f[v] == f[v - 1]) continue;
        if (s.count == kMaxSteps) return std::nullopt;
        s.at[s.count] = uint8_t(v);
        s.inc[s.count++] = uint8_t(f[v] - f[v - 1]);
    }
    s.nibbles = true;
    for (int v = 0; v < 16; ++v) s.low[v] = f[v];
    for (int h = 1; h < 16; ++h) {
        s.block[h] = f[16 * h];
        for (int v = 16 * h + 1; v < 16 * h + 16; ++v) {
            if (f[v] == f[v - 1]) continue;
            if (s.block_at[h]) s.nibbles = false;  // a second change in the block
            s.block_at[h] = uint8_t(v);
            s.block_inc[h] = uint8_t(f[v] - f[v - 1]);
        }
    }
    return s;
}

// Tables that classify a pixel by arithmetic on its neighbours: the gradient
// class a step function of the activity max(L, U, UL) - min(L, U, UL), the
// bucket a step function of the value, and every class index 4 * class +
// bucket that a pixel can reach below 64, so one small table gives the shard.
struct ActivityClasses {
    Steps activity, intensity;
    int blocks = 1;         // 16-entry blocks of shard that reachable indices use
    uint8_t shard[64] = {};  // d_lut at the reachable indices
};

// The activity step function that s_lut is at every gradient index a pixel can
// have (the others are never read), from the row of zero left gradient.
std::optional<Steps> activity_steps(std::span<const uint8_t> s_lut) {
    const int side = int(kGradientSide), mid = side / 2;
    const uint8_t* f = s_lut.data() + std::size_t(mid) * kGradientSide + mid;  // f[a]: dl = 0, du = a
    for (int dl = -255; dl <= 255; ++dl) {
        const uint8_t* row = s_lut.data() + std::size_t(dl + mid) * kGradientSide + mid;
        for (int du = -255; du <= 255; ++du) {
            const int act = std::max({dl, du, 0}) - std::min({dl, du, 0});
            if (act <= 255 && row[du] != f[act]) return std::nullopt;
        }
    }
    return steps_of(f);
}

// What a pass needs to know of its tables before it starts: the largest
// class a pixel can get (as max_reachable_class) and s_lut's activity steps.
struct TableFacts {
    std::optional<uint8_t> max_class;
    std::optional<Steps> activity;
};

// The facts of tables, remembered for the last table sets seen.
TableFacts table_facts(const ContextTables& t) {
    static TableMemo<TableFacts> memo(8);
    return memo.get(t, [](const ContextTables& tables) {
        TableFacts f;
        f.max_class = tables.max_reachable_class();
        if (f.max_class) f.activity = activity_steps(tables.s_lut.first(kSLutLen));
        return f;
    });
}

// The arithmetic form of tables whose every lookup stays inside them
// (cover_all_lookups), when they have one.
std::optional<ActivityClasses> activity_classes(const ContextTables& t, const TableFacts& facts) {
    ActivityClasses a;
    const auto bucket = steps_of(t.i_lut.data());
    if (!facts.activity || !bucket) return std::nullopt;
    a.activity = *facts.activity;
    a.intensity = *bucket;
    bool s_seen[256] = {}, b_seen[256] = {};
    for (int v = 0; v < 256; ++v) {
        s_seen[a.activity(uint8_t(v))] = true;
        b_seen[a.intensity(uint8_t(v))] = true;
    }
    for (std::size_t s = 0; s < 256; ++s)
        for (std::size_t b = 0; b < 256; ++b) {
            if (!s_seen[s] || !b_seen[b]) continue;
            const std::size_t k = 4 * s + b;
            if (k >= 64) return std::nullopt;
            a.shard[k] = t.d_lut[k];
            a.blocks = std::max(a.blocks, int(k / 16) + 1);
        }
    return a;
}

struct Pass {
    std::size_t h, w, n;
    BandRows rows;  // the colour transform of the band's rows
    uint16_t* coded;  // 3 * h * w, raster order per plane: residual | class << 8
    const ContextTables* tables;
    bool avx2;  // run the AVX2 builds of the row stage (same results)
    const ActivityClasses* arith;  // AVX2 only: classify by arithmetic (the same classes as the tables)
};

// Row slack: the arithmetic classifier reads and writes whole 32-byte vectors.
constexpr std::size_t kSlack = 32;

// Copies of the per-chunk shard counters, one per pixel column modulo
// kCopies: runs of one class then increment different words, not one word
// through a chain of store-to-load forwards.
constexpr std::size_t kCopies = 4;

// Each chunk's pixels are counted, and later sorted, as kParts parts of
// nearly equal length (raster order, cut anywhere in a row): the sort then
// runs kParts independent chains of cursor updates side by side.
constexpr std::size_t kParts = 8;

// Cursors and per-part counters are laid out with this stride per plane
// (classes are bytes), so a part's and plane's are at a fixed offset.
constexpr std::size_t kStride = 256;

// Per-chunk counters, merged by integer addition.
struct ChunkCounts {
    std::size_t start[kParts + 1] = {};  // pixel index where each part starts, then the chunk's end
    std::vector<uint32_t> copies;        // (kParts, kCopies, 3, n)
    std::vector<uint32_t> counts;        // (kParts, 3, n): the copies' sums, filled after the pass
};
// Classes [x0, x1) of a row counted into the copies of the shard counters.
void count_classes(std::size_t x0, std::size_t x1, std::size_t n, uint8_t* const* cls, uint32_t* __restrict copies) {
    const std::size_t w = x1 - x0;
    for (std::size_t k = 0; k < 3; ++k) {
        const uint8_t* __restrict c = cls[k] + x0;
        uint32_t* __restrict c0 = copies + k * n;
        uint32_t* __restrict c1 = c0 + 3 * n;
        uint32_t* __restrict c2 = c0 + 6 * n;
        uint32_t* __restrict c3 = c0 + 9 * n;
        std::size_t x = 0;
        for (; x + 4 <= w; x += 4) {
            ++c0[c[x]];
            ++c1[c[x + 1]];
            ++c2[c[x + 2]];
            ++c3[c[x + 3]];
        }
        for (; x < w; ++x) ++c0[c[x]];
    }
}

// Classes counted by vector compares, eight classes a pass over the row:
// with few classes this takes far fewer instructions than a counter update
// per pixel. Byte counters hold up to 255 vectors, then go into copy 0.
constexpr std::size_t kVectorCountMax = 16;  // the most classes counted this way

[[gnu::target("avx2")]] void count_classes_avx2(std::size_t x0, std::size_t x1, std::size_t n, uint8_t* const* cls,
                                                uint32_t* __restrict copies) {
    const std::size_t len = x1 - x0;
    for (std::size_t k = 0; k < 3; ++k) {
        const uint8_t* const c = cls[k] + x0;
        uint32_t* const out = copies + k * n;
        std::size_t x = 0;
        while (len - x >= 32) {
            const std::size_t blocks = std::min<std::size_t>((len - x) / 32, 255);
            for (std::size_t s0 = 0; s0 < n; s0 += 8) {
                __m256i acc[8];
                for (auto& a : acc) a = _mm256_setzero_si256();
                for (std::size_t b = 0; b < blocks; ++b) {
                    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c + x + 32 * b));
                    for (int j = 0; j < 8; ++j)
                        acc[j] = _mm256_sub_epi8(acc[j], _mm256_cmpeq_epi8(v, _mm256_set1_epi8(char(s0 + j))));
                }
                for (std::size_t j = 0; j < 8 && s0 + j < n; ++j) {
                    const __m256i sums = _mm256_sad_epu8(acc[j], _mm256_setzero_si256());
                    const __m128i q = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
                    out[s0 + j] += uint32_t(_mm_cvtsi128_si64(q) + _mm_extract_epi64(q, 1));
                }
            }
            x += 32 * blocks;
        }
        for (; x < len; ++x) ++out[c[x]];
    }
}

// One row's classes when no lookup can fail: a plane at a time, so each loop
// keeps few pointers live and its lookups overlap across pixels. The counters
// are incremented afterwards in loops of their own, over the classes already
// stored: there a counter's address is known early, while in the lookup loop
// it waits for the table loads and later loads of the same counter may pass
// its store and be replayed. Gives what the checked per-pixel loop gives.
void classify_row_planes(const ContextTables& t, std::size_t w, const uint32_t* __restrict grad,
                         const uint8_t* __restrict pred, const uint8_t* __restrict g, uint8_t* __restrict bucket,
                         uint8_t* const* cls) {
    const uint8_t* __restrict s_lut = t.s_lut.data();
    const uint8_t* __restrict i_lut = t.i_lut.data();
    const uint8_t* __restrict d_lut = t.d_lut.data();
    {
        uint8_t* __restrict c = cls[0];
        for (std::size_t x = 0; x < w; ++x) {
            const uint8_t s = d_lut[4 * std::size_t(s_lut[grad[x]]) + i_lut[pred[x]]];
            c[x] = s;
            bucket[x] = i_lut[g[x]];
        }
    }
    for (std::size_t k = 1; k < 3; ++k) {
        const uint32_t* __restrict gk = grad + k * w;
        uint8_t* __restrict c = cls[k];
        for (std::size_t x = 0; x < w; ++x) c[x] = d_lut[4 * std::size_t(s_lut[gk[x]]) + bucket[x]];
    }
}

[[gnu::target("avx2")]] inline __m256i load32(const uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

[[gnu::target("avx2")]] inline __m256i table16(const uint8_t* t) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

// Step function f of every byte of v (see Steps): by compares against its
// points, or by nibble lookups when that takes fewer instructions.
[[gnu::target("avx2")]] inline __m256i steps_avx2(const Steps& f, __m256i v) {
    if (f.nibbles && f.count > 4) {
        const __m256i h = _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0f));
        const __m256i at = _mm256_shuffle_epi8(table16(f.block_at), h);
        const __m256i ge = _mm256_cmpeq_epi8(_mm256_max_epu8(v, at), v);  // v >= block_at[h]
        const __m256i high = _mm256_add_epi8(_mm256_shuffle_epi8(table16(f.block), h),
                                             _mm256_and_si256(ge, _mm256_shuffle_epi8(table16(f.block_inc), h)));
        const __m256i low = _mm256_shuffle_epi8(table16(f.low), _mm256_and_si256(v, _mm256_set1_epi8(0x0f)));
        return _mm256_blendv_epi8(high, low, _mm256_cmpeq_epi8(h, _mm256_setzero_si256()));
    }
    __m256i r = _mm256_set1_epi8(char(f.base));
    for (int i = 0; i < f.count; ++i) {
        const __m256i ge = _mm256_cmpeq_epi8(_mm256_max_epu8(v, _mm256_set1_epi8(char(f.at[i]))), v);  // v >= at
        r = f.inc[i] == 1 ? _mm256_sub_epi8(r, ge)
                          : _mm256_add_epi8(r, _mm256_and_si256(ge, _mm256_set1_epi8(char(f.inc[i]))));
    }
    return r;
}

// One row's classes, by arithmetic: per plane k, pixel x's neighbours are
// left cur[k][x], up up[k][x + 1], up-left up[k][x] (index 0 the zero
// border); the bucket of plane 0's prediction classifies plane 0, that of
// plane 0's value planes 1 and 2. Works on whole vectors: up to 31 bytes past
// w are read and written (the rows' slack; each class row has its own).
// Also writes the coded words (residual | class << 8) of the row's whole
// vectors to coded[k]; returns where the rest of the row starts.
[[gnu::target("avx2")]] std::size_t classify_row_arith(const ActivityClasses& a, std::size_t w, uint8_t* const* cur,
                                                       uint8_t* const* up, const uint8_t* pred0, uint8_t* const* res,
                                                       uint8_t* const* cls, uint16_t* const* coded) {
    __m256i table[4];
    for (int b = 0; b < 4; ++b) table[b] = table16(a.shard + 16 * b);
    for (std::size_t x = 0; x < w; x += 32) {
        const __m256i bucket_pred = steps_avx2(a.intensity, load32(pred0 + x));
        const __m256i bucket_value = steps_avx2(a.intensity, load32(cur[0] + 1 + x));
        for (int k = 0; k < 3; ++k) {
            const __m256i l = load32(cur[k] + x), u = load32(up[k] + 1 + x), ul = load32(up[k] + x);
            const __m256i act = _mm256_sub_epi8(_mm256_max_epu8(_mm256_max_epu8(l, u), ul),
                                                _mm256_min_epu8(_mm256_min_epu8(l, u), ul));
            const __m256i s = steps_avx2(a.activity, act);
            const __m256i s2 = _mm256_add_epi8(s, s);
            const __m256i idx = _mm256_add_epi8(_mm256_add_epi8(s2, s2), k == 0 ? bucket_pred : bucket_value);
            __m256i shard = _mm256_shuffle_epi8(table[0], idx);  // idx < 64: bit 7 clear
            for (int b = 1; b < a.blocks; ++b)
                shard = _mm256_blendv_epi8(shard, _mm256_shuffle_epi8(table[b], idx),
                                           _mm256_cmpgt_epi8(idx, _mm256_set1_epi8(char(16 * b - 1))));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(cls[k] + x), shard);
            if (x + 32 <= w) {  // bytes in the order 0-7, 16-23 | 8-15, 24-31, then unpacked in each lane
                const __m256i r = _mm256_permute4x64_epi64(load32(res[k] + x), 0xd8);
                const __m256i c = _mm256_permute4x64_epi64(shard, 0xd8);
                __m256i* out = reinterpret_cast<__m256i*>(coded[k] + x);
                _mm256_storeu_si256(out, _mm256_unpacklo_epi8(r, c));
                _mm256_storeu_si256(out + 1, _mm256_unpackhi_epi8(r, c));
            }
        }
    }
    return w / 32 * 32;
}

// Rows [y0, y1): the coded word (residual and class) of every pixel, and the
// chunk's counters.
// Plane 0 is classified through its own prediction, planes 1 and 2 through
// plane 0's value, in the order of the forward pass's lookups.
template <bool Checked>
void classify_rows(const Pass& in, std::size_t y0, std::size_t y1, ChunkCounts& cc) {
    const std::size_t w = in.w, n = in.n, plane = in.h * in.w;
    const ContextTables t = *in.tables;
    std::vector<uint8_t> rows(6 * (w + 1) + kSlack, 0);  // per plane: the row above, the current row
    std::vector<uint8_t> pred(3 * w + kSlack);
    std::vector<uint32_t> grad(in.arith ? 0 : 3 * w);
    std::vector<uint8_t> res_rows(3 * w), cls_rows(3 * (w + kSlack));
    uint8_t* up[3] = {rows.data(), rows.data() + (w + 1), rows.data() + 2 * (w + 1)};
    uint8_t* cur[3] = {up[0] + 3 * (w + 1), up[1] + 3 * (w + 1), up[2] + 3 * (w + 1)};
    if (y0 > 0) in.rows(y0 - 1, up[0] + 1, up[1] + 1, up[2] + 1);
    std::vector<uint8_t> bucket(Checked ? 0 : w);
    std::size_t part = 0;
    for (std::size_t y = y0; y < y1; ++y) {
        in.rows(y, cur[0] + 1, cur[1] + 1, cur[2] + 1);
        uint8_t* res[3];
        uint8_t* cls[3];
        for (int k = 0; k < 3; ++k) {
            res[k] = res_rows.data() + k * w;
            cls[k] = cls_rows.data() + k * (w + kSlack);
            if (in.arith)
                residual_row_avx2(cur[k] + 1, up[k] + 1, w, pred.data() + k * w, res[k]);
            else
                (in.avx2 ? row_stage_avx2 : row_stage)(cur[k] + 1, up[k] + 1, w, pred.data() + k * w, res[k],
                                                       grad.data() + k * w);
        }
        uint16_t* coded[3];
        for (int k = 0; k < 3; ++k) coded[k] = in.coded + k * plane + y * w;
        std::size_t x_coded = 0;  // coded words written up to here
        if (in.arith) {
            x_coded = classify_row_arith(*in.arith, w, cur, up, pred.data(), res, cls, coded);
        } else if constexpr (!Checked) {
            classify_row_planes(t, w, grad.data(), pred.data(), cur[0] + 1, bucket.data(), cls);
        } else for (std::size_t x = 0; x < w; ++x) {
            const uint8_t s0 = classify_gradient<Checked>(t, grad[x], pred[x]);
            if constexpr (Checked)
                if (s0 >= n) panic_index(n, s0);
            cls[0][x] = s0;
            const uint8_t b = intensity_bucket<Checked>(t, cur[0][x + 1]);
            for (int k = 1; k < 3; ++k) {
                const uint8_t s = class_from_bucket<Checked>(t, grad[k * w + x], b);
                if constexpr (Checked)
                    if (s >= n) panic_index(n, s);
                cls[k][x] = s;
            }
        }
        // The row's pixels counted into the parts they belong to.
        for (std::size_t x0 = 0; x0 < w;) {
            while (cc.start[part + 1] <= y * w + x0) ++part;
            const std::size_t x1 = std::min(w, cc.start[part + 1] - y * w);
            uint32_t* const copies = cc.copies.data() + part * kCopies * 3 * n;
            if (in.arith && n <= kVectorCountMax)
                count_classes_avx2(x0, x1, n, cls, copies);
            else
                count_classes(x0, x1, n, cls, copies);
            x0 = x1;
        }
        for (int k = 0; k < 3; ++k) {
            uint16_t* __restrict out = coded[k];
            const uint8_t* __restrict r = res[k];
            const uint8_t* __restrict c = cls[k];
            for (std::size_t x = x_coded; x < w; ++x) out[x] = uint16_t(r[x] | c[x] << 8);
            std::swap(up[k], cur[k]);
        }
    }
}

// Pixels [i, end) of one plane written to their shards' places from the
// cursors on: a stable counting sort in raster order.
void scatter_plane(const uint16_t* __restrict z, std::size_t i, std::size_t end, uint32_t* __restrict cursor,
                   uint8_t* __restrict out) {
    for (; i < end; ++i) out[cursor[z[i] >> 8]++] = uint8_t(z[i]);
}

// One plane's pixels of a chunk written to their shards' places, each part's
// from its cursors on (part p's at cursor + p * 3 * kStride). Runs of one shard
// make each cursor a chain of store-to-load forwards; the parts side by side
// make kParts chains that overlap.
void scatter_parts(const uint16_t* __restrict z, const std::size_t* start, uint32_t* __restrict cursor,
                   uint8_t* __restrict out) {
    std::size_t len = start[1] - start[0];
    for (std::size_t p = 1; p < kParts; ++p) len = std::min(len, start[p + 1] - start[p]);
    const uint16_t* __restrict zp[kParts];
    for (std::size_t p = 0; p < kParts; ++p) zp[p] = z + start[p];
    for (std::size_t t = 0; t < len; ++t) {
        for (std::size_t p = 0; p < kParts; ++p) {
            // The word read once (residual | class << 8), and the cursor taken
            // and moved on through one memory operand.
            const uint32_t word = zp[p][t];
            uint32_t c;
            asm("movl %1, %0\n\taddl $1, %1" : "=&r"(c), "+m"((cursor + p * 3 * kStride)[word >> 8]));
            __builtin_prefetch(out + c + 64, 1);
            out[c] = uint8_t(word);
        }
    }
    for (std::size_t p = 0; p < kParts; ++p) scatter_plane(z, start[p] + len, start[p + 1], cursor + p * 3 * kStride, out);
}

// The residual histogram of one shard's stream, counted in kCopies
// interleaved copies for the same reason as the shard counters.
void stream_histogram(const uint8_t* __restrict z, std::size_t len, uint32_t* __restrict out) {
    if (len < 1024) {  // the copies would cost more to clear and add up than they save
        for (std::size_t i = 0; i < len; ++i) ++out[z[i]];
        return;
    }
    uint32_t c[kCopies][256] = {};
    std::size_t i = 0;
    // Eight residuals a load.
    for (; i + 8 <= len; i += 8) {
        uint64_t v;
        std::memcpy(&v, z + i, 8);
        for (std::size_t j = 0; j < 8; ++j) ++c[j % kCopies][(v >> (8 * j)) & 255];
    }
    for (; i + kCopies <= len; i += kCopies)
        for (std::size_t j = 0; j < kCopies; ++j) ++c[j][z[i + j]];
    for (; i < len; ++i) ++c[0][z[i]];
    for (std::size_t v = 0; v < 256; ++v) {
        uint32_t sum = 0;
        for (std::size_t j = 0; j < kCopies; ++j) sum += c[j][v];
        out[v] = sum;
    }
}

// Room for n coded words. The calling thread keeps the room of its last band
// (up to kKeptCodedWords) for its next: fresh memory of that size cost a few
// thousand page faults a band.
constexpr std::size_t kKeptCodedWords = std::size_t(1) << 24;

uint16_t* coded_room(std::size_t n, Buffer<uint16_t>& own) {
    thread_local Buffer<uint16_t> kept;
    Buffer<uint16_t>& room = n <= kKeptCodedWords ? kept : own;
    if (room.size() < n) {
        room = Buffer<uint16_t>::uninit(n);
        prefer_huge_pages(room.data(), n * sizeof(uint16_t));
    }
    return room.data();
}

}  // namespace

ShardStreams shard_streams(std::size_t h, const BandSamples& band, std::size_t n, const ContextTables& tables) {
    band.check(h);
    const std::size_t w = band.coded_width(), plane = h * w;
    const std::size_t per_plane = checked_mul(n, 256);
    ShardStreams r;
    r.streams = Buffer<uint8_t>::uninit(3 * plane);
    prefer_huge_pages(r.streams.data(), 3 * plane);
    r.counts = Buffer<uint32_t>::zeroed(checked_mul(3, n));
    r.histograms = Buffer<uint32_t>::zeroed(checked_mul(3, per_plane));
    if (plane == 0) return r;

    Buffer<uint16_t> own;
    uint16_t* const coded = coded_room(3 * plane, own);
    const TableFacts facts = table_facts(tables);
    const bool avx2 = simd_level() == SimdLevel::avx2, unchecked = facts.max_class && *facts.max_class < n;
    const std::optional<ActivityClasses> arith = avx2 && unchecked ? activity_classes(tables, facts) : std::nullopt;
    const Pass in{h, w, n, BandRows(band, avx2), coded, &tables, avx2, arith ? &*arith : nullptr};
    const std::size_t chunks = std::clamp<std::size_t>(plane / kChunkPixels, 1, std::min(h, kMaxChunks));
    const std::size_t height = (h + chunks - 1) / chunks;
    auto rows_of = [&](std::size_t c) { return std::pair{std::min(h, c * height), std::min(h, (c + 1) * height)}; };
    std::vector<ChunkCounts> cc(chunks);
    for (std::size_t c = 0; c < chunks; ++c) {
        auto [y0, y1] = rows_of(c);
        for (std::size_t p = 0; p <= kParts; ++p) cc[c].start[p] = (y0 * w * (kParts - p) + y1 * w * p) / kParts;
        cc[c].copies.assign(kParts * kCopies * 3 * n, 0);
    }
    if (unchecked) {
        parallel_for(chunks, [&](std::size_t c) {
            auto [y0, y1] = rows_of(c);
            classify_rows<false>(in, y0, y1, cc[c]);
        });
    } else {
        FirstFailure first;
        parallel_for(chunks, [&](std::size_t c) {
            first.run(c, [&] {
                auto [y0, y1] = rows_of(c);
                classify_rows<true>(in, y0, y1, cc[c]);
            });
        });
        first.rethrow();
    }

    for (ChunkCounts& c : cc) {
        c.counts.assign(kParts * 3 * n, 0);
        for (std::size_t p = 0; p < kParts; ++p)
            for (std::size_t j = 0; j < kCopies; ++j)
                for (std::size_t i = 0; i < 3 * n; ++i)
                    c.counts[p * 3 * n + i] += c.copies[(p * kCopies + j) * 3 * n + i];
        for (std::size_t i = 0; i < kParts * 3 * n; ++i) r.counts[i % (3 * n)] += c.counts[i];
    }
    // Each part's cursors: its shards' starts plus what earlier parts put there
    // (classes are bytes: shards from 256 on are empty).
    const std::size_t per_chunk = kParts * 3 * kStride;
    std::vector<uint32_t> cursors(chunks * per_chunk);
    for (std::size_t k = 0; k < 3; ++k) {
        uint32_t next = 0;
        for (std::size_t s = 0; s < std::min(n, kStride); ++s)
            for (std::size_t c = 0; c < chunks; ++c)
                for (std::size_t p = 0; p < kParts; ++p) {
                    cursors[c * per_chunk + (p * 3 + k) * kStride + s] = next;
                    next += cc[c].counts[(p * 3 + k) * n + s];
                }
    }
    parallel_for(chunks, [&](std::size_t c) {
        for (std::size_t k = 0; k < 3; ++k)
            scatter_parts(coded + k * plane, cc[c].start, cursors.data() + c * per_chunk + k * kStride,
                          r.streams.data() + k * plane);
    });
    // Histograms from the sorted streams: each shard's residuals are contiguous.
    std::vector<uint32_t> starts(3 * n);
    for (std::size_t k = 0; k < 3; ++k) {
        uint32_t next = 0;
        for (std::size_t s = 0; s < n; ++s) {
            starts[k * n + s] = next;
            next += r.counts[k * n + s];
        }
    }
    parallel_for(3 * n, [&](std::size_t i) {
        const std::size_t k = i / n;
        stream_histogram(r.streams.data() + k * plane + starts[i], r.counts[i], r.histograms.data() + i * 256);
    });
    return r;
}

}  // namespace kelm
