#include "recovery/level_splice.hpp"

#include <algorithm>

namespace kvr {

Recording splice_levels(const Recording& base, const Recording& patch, std::int32_t patch_at, std::int32_t a,
                        std::int32_t b) {
    Recording out;
    out.count = base.count;
    out.sample_rate = base.sample_rate;
    a = std::clamp(a, 0, base.count);
    b = std::clamp(b, a, base.count);
    if (a == b || patch_at > a || static_cast<std::int64_t>(patch_at) + patch.count < b) return base;
    auto patch_low = [&](std::int32_t at) { return patch.low_at(at - patch_at); };
    out.first_low = a > 0 ? base.first_low : patch_low(0);
    out.edges.reserve(base.edges.size() + patch.edges.size());
    for (const std::int32_t e : base.edges) {
        if (e >= a) break;
        out.edges.push_back(e);
    }
    if (a > 0 && base.low_at(a - 1) != patch_low(a)) out.edges.push_back(a);
    for (const std::int32_t e : patch.edges) {
        const std::int64_t at = static_cast<std::int64_t>(e) + patch_at;
        if (at > a && at < b) out.edges.push_back(static_cast<std::int32_t>(at));
    }
    if (b < base.count && patch_low(b - 1) != base.low_at(b)) out.edges.push_back(b);
    for (const std::int32_t e : base.edges)
        if (e > b) out.edges.push_back(e);
    return out;
}

}  // namespace kvr
