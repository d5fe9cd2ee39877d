#include "region_search.h"

namespace orvhost {

SearchOutcome FindLastReadable(std::uint32_t limit,
                               const std::function<std::optional<bool>(std::uint32_t element)> &readable) {
    SearchOutcome out;
    if (limit == 0) {
        return out;
    }
    // Element 1 first: most regions a controller lacks end the search here.
    ++out.reads;
    const auto first = readable(1);
    if (!first) {
        out.stopped = true;
        return out;
    }
    if (!*first) {
        return out;
    }
    std::uint32_t good = 1;                       // reads
    std::uint64_t bad = std::uint64_t{limit} + 1; // does not, or lies past the limit
    while (bad - good > 1) {
        const auto mid = static_cast<std::uint32_t>(good + (bad - good) / 2);
        ++out.reads;
        const auto ok = readable(mid);
        if (!ok) {
            out.stopped = true;
            break;
        }
        if (*ok) {
            good = mid;
        } else {
            bad = mid;
        }
    }
    out.last = good;
    return out;
}

} // namespace orvhost
