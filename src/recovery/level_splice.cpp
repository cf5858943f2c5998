#include "recovery/level_splice.hpp"

#include <algorithm>

namespace kvr {

Recording splice_levels(const Recording& base, const Recording& patch, std::int32_t patch_at, std::int32_t a,
                        std::int32_t b) {
    return splice_window(base, 0, base.count, {LevelPatch{patch, patch_at, a, b}});
}

Recording splice_window(const Recording& base, std::int32_t from, std::int32_t to,
                        const std::vector<LevelPatch>& patches) {
    from = std::clamp(from, 0, base.count);
    to = std::clamp(to, from, base.count);
    Recording out;
    out.count = to - from;
    out.sample_rate = base.sample_rate;
    if (out.count == 0) return out;
    out.first_low = base.low_at(from);
    auto low = [&](std::int32_t at) { return base.low_at(from + at); };  // base's level, in the slice's samples
    auto e = std::upper_bound(base.edges.begin(), base.edges.end(), from);
    const auto end = std::lower_bound(e, base.edges.end(), to);
    std::size_t room = static_cast<std::size_t>(end - e) + 2 * patches.size();
    for (const LevelPatch& p : patches) room += p.levels.edges.size();
    out.edges.reserve(room);
    std::int32_t after = 0;  // where the last patch ended
    for (const LevelPatch& p : patches) {
        const std::int32_t a = std::clamp(p.a, 0, out.count), b = std::clamp(p.b, a, out.count);
        if (a == b || p.at > a || static_cast<std::int64_t>(p.at) + p.levels.count < b || (after > 0 && a <= after))
            continue;
        auto patch_low = [&](std::int32_t at) { return p.levels.low_at(at - p.at); };
        const auto before_a = std::lower_bound(e, end, from + a);  // base's edges before a
        append_shifted(out.edges, e, before_a, from);
        e = before_a;
        if (a == 0) out.first_low = patch_low(0);
        if (a > 0 && low(a - 1) != patch_low(a)) out.edges.push_back(a);
        // The patch's edges strictly between a and b (p.at <= a, so neither bound is negative).
        const auto& pe = p.levels.edges;
        const auto inside = std::upper_bound(pe.begin(), pe.end(), a - p.at);
        append_shifted(out.edges, inside, std::lower_bound(inside, pe.end(), b - p.at), -p.at);
        if (b < out.count && patch_low(b - 1) != low(b)) out.edges.push_back(b);
        after = b;
        e = std::upper_bound(e, end, from + b);
    }
    append_shifted(out.edges, e, end, from);
    return out;
}

}  // namespace kvr
