#include "bench_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <sstream>

namespace orvbench {

Summary Summarize(std::vector<double> samples) {
    Summary s;
    s.n = samples.size();
    if (samples.empty()) {
        return s;
    }
    std::sort(samples.begin(), samples.end());
    // Nearest rank: the smallest sample with at least p% of the samples at or below it.
    auto rank = [&samples](double p) {
        const auto r = static_cast<std::size_t>(std::ceil(p * static_cast<double>(samples.size())));
        return samples[std::clamp<std::size_t>(r, 1, samples.size()) - 1];
    };
    s.min = samples.front();
    s.max = samples.back();
    s.median = rank(0.5);
    s.p99 = rank(0.99);
    s.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(samples.size());
    return s;
}

LineFit FitLine(const std::vector<double> &x, const std::vector<double> &y) {
    LineFit f;
    const std::size_t n = std::min(x.size(), y.size());
    if (n < 2) {
        return f;
    }
    const double nx = static_cast<double>(n);
    const double mx = std::accumulate(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(n), 0.0) / nx;
    const double my = std::accumulate(y.begin(), y.begin() + static_cast<std::ptrdiff_t>(n), 0.0) / nx;
    double sxx = 0, sxy = 0, syy = 0;
    for (std::size_t i = 0; i < n; ++i) {
        sxx += (x[i] - mx) * (x[i] - mx);
        sxy += (x[i] - mx) * (y[i] - my);
        syy += (y[i] - my) * (y[i] - my);
    }
    if (sxx == 0) {
        return f;
    }
    f.slope = sxy / sxx;
    f.intercept = my - f.slope * mx;
    f.r2 = syy == 0 ? 1.0 : (sxy * sxy) / (sxx * syy);
    return f;
}

std::vector<std::string> JudgeShortRun(double floorMedianUs, const std::vector<ExchangeFigures> &exchanges,
                                       const ShortLimits &limits) {
    std::vector<std::string> failures;
    char line[256];
    if (!(floorMedianUs > 0)) {
        failures.emplace_back("no 1 ms sleep was measured");
        return failures;
    }
    if (exchanges.empty()) {
        failures.emplace_back("no exchange was measured");
    }
    for (const ExchangeFigures &e : exchanges) {
        if (!(e.medianUs > 0) || !(e.wallUsPerExchange > 0)) {
            std::snprintf(line, sizeof line, "%s: not measured", e.name.c_str());
            failures.emplace_back(line);
            continue;
        }
        const double ratio = e.medianUs / floorMedianUs;
        if (ratio > limits.maxExchangeOverFloor) {
            std::snprintf(line, sizeof line, "%s: median %.0f us is %.2f x the 1 ms sleep (%.0f us), limit %.2f x",
                          e.name.c_str(), e.medianUs, ratio, floorMedianUs, limits.maxExchangeOverFloor);
            failures.emplace_back(line);
        }
        const double share = e.cpuUsPerExchange / e.wallUsPerExchange;
        if (share > limits.maxCpuShare) {
            std::snprintf(line, sizeof line, "%s: CPU %.1f us per exchange is %.1f%% of its wall time, limit %.0f%%",
                          e.name.c_str(), e.cpuUsPerExchange, 100 * share, 100 * limits.maxCpuShare);
            failures.emplace_back(line);
        }
    }
    return failures;
}

std::uint16_t ExpectedWord(int card, int secondary, int element) {
    // Card, secondary and element each keep their own bits (element up to
    // 255), so a value read from the wrong place cannot pass for the right one.
    return static_cast<std::uint16_t>((card & 7) << 13 | (secondary & 31) << 8 | (element & 0xFF));
}

std::uint16_t CardSegment(int card) {
    return static_cast<std::uint16_t>(0xC800 + 0x100 * card);
}

std::string NetworkConfigText(int cards, int secondaries, int words) {
    std::ostringstream out;
    out << "# written by orvtiw_bench\n";
    char buf[32];
    for (int c = 0; c < cards; ++c) {
        std::snprintf(buf, sizeof buf, "card %04X\n", CardSegment(c));
        out << buf;
        for (int s = 1; s <= secondaries; ++s) {
            out << "secondary " << s << " defaults\n";
            if (words > 0) {
                out << "value 0x01 1";
                for (int e = 1; e <= words; ++e) {
                    out << ' ' << ExpectedWord(c, s, e);
                }
                out << '\n';
            }
        }
    }
    return out.str();
}

std::string InitFileText(int card) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04X;800\n", CardSegment(card));
    return buf;
}

double LineTimeUs(std::size_t bytes, double bitsPerSecond) {
    return static_cast<double>(bytes) * 8.0 * 1e6 / bitsPerSecond;
}

} // namespace orvbench
