// What kernels derive from a set of context tables (folded copies, step
// functions), kept for the last few sets seen. Deriving it reads all of the
// 261 KB s_lut, and the codec moves between a handful of table sets while it
// tries an image's candidates: for small images that reading was most of a call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "core/common/pixel.hpp"

namespace kelm {

template <class T>
class TableMemo {
public:
    explicit TableMemo(std::size_t capacity) : capacity_(capacity) {}

    // The value kept for tables with the same bytes, else make(tables), then kept.
    template <class Make>
    T get(const ContextTables& tables, Make&& make) {
        {
            std::lock_guard lock(mutex_);
            for (std::size_t i = 0; i < entries_.size(); ++i) {
                if (!entries_[i].holds(tables)) continue;
                for (std::size_t j = i; j > 0; --j) std::swap(entries_[j], entries_[j - 1]);  // most recent first
                return entries_[0].value;
            }
        }
        T value = make(tables);
        std::lock_guard lock(mutex_);
        entries_.insert(entries_.begin(), Entry{copy(tables.s_lut), copy(tables.i_lut), copy(tables.d_lut), value});
        if (entries_.size() > capacity_) entries_.pop_back();
        return value;
    }

private:
    struct Entry {
        std::vector<uint8_t> s_lut, i_lut, d_lut;
        T value;
        // The small tables first: different sets mostly differ there.
        bool holds(const ContextTables& t) const {
            return same(i_lut, t.i_lut) && same(d_lut, t.d_lut) && same(s_lut, t.s_lut);
        }
    };

    static std::vector<uint8_t> copy(std::span<const uint8_t> t) { return {t.begin(), t.end()}; }
    static bool same(const std::vector<uint8_t>& kept, std::span<const uint8_t> t) {
        return kept.size() == t.size() && (t.empty() || std::memcmp(kept.data(), t.data(), t.size()) == 0);
    }

    std::mutex mutex_;
    std::vector<Entry> entries_;
    std::size_t capacity_;
};

}  // namespace kelm
