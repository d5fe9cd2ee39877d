#include "host/build_stamp.h"

namespace orvtiw {
namespace {

// The compiler writes a day below 10 with a leading blank ("Dec  8 2026").
struct DateText {
    char text[sizeof(__DATE__)];
    constexpr DateText() : text{} {
        for (unsigned i = 0; i < sizeof(__DATE__); ++i) {
            text[i] = __DATE__[i];
        }
        if (text[4] == ' ') {
            text[4] = '0';
        }
    }
};

constexpr DateText kBuildDate{};
constexpr char kBuildTime[] = __TIME__;

} // namespace

const char *BuildDate() {
    return kBuildDate.text;
}

const char *BuildTime() {
    return kBuildTime;
}

} // namespace orvtiw
