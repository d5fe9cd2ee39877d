#include "support/result_log.h"

#include <cstdarg>
#include <cstdio>

#include "channel/logging.h"
#include "orvtiw/host.h"

namespace orvtiw::test {
namespace {

[[gnu::format(printf, 2, 3)]] int RouteToResults(int level, const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    host::DeliverLogLine(level, text, format);
    return 0;
}

} // namespace

LinesIntoResults::LinesIntoResults() {
    SetErrFunction(&RouteToResults);
}

LinesIntoResults::~LinesIntoResults() {
    SetErrFunction(nullptr);
}

} // namespace orvtiw::test
