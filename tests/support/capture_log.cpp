#include "support/capture_log.h"

#include <cstdarg>
#include <cstdio>

#include "channel/logging.h"

namespace orvtiw::test {
namespace {

std::vector<LogEntry> gEntries;

[[gnu::format(printf, 2, 3)]] int CaptureErr(int level, const char *format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int channel = va_arg(copy, int);
    va_end(copy);
    char text[2048];
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    gEntries.push_back(LogEntry{level, format, text, channel});
    return 0;
}

} // namespace

CaptureLog::CaptureLog() {
    gEntries.clear();
    SetErrFunction(&CaptureErr);
}

CaptureLog::~CaptureLog() {
    SetErrFunction(nullptr);
    gEntries.clear();
}

const std::vector<LogEntry> &CaptureLog::entries() const {
    return gEntries;
}

std::vector<std::string> CaptureLog::texts() const {
    std::vector<std::string> out;
    for (const LogEntry &e : gEntries) {
        out.push_back(e.text);
    }
    return out;
}

std::vector<std::string> CaptureLog::formats() const {
    std::vector<std::string> out;
    for (const LogEntry &e : gEntries) {
        out.push_back(e.format);
    }
    return out;
}

void CaptureLog::clear() {
    gEntries.clear();
}

} // namespace orvtiw::test
