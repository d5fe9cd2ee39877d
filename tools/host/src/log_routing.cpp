#include "log_routing.h"

#include <cstdio>

namespace orvtiw::host {
namespace {

thread_local LineCapture *tCapture = nullptr;

} // namespace

LineCapture::LineCapture(std::vector<LogLine> &lines, const LogHandler &handler)
    : lines_(lines), handler_(handler), outer_(tCapture) {
    tCapture = this;
}

LineCapture::~LineCapture() {
    tCapture = outer_;
}

void LineCapture::Take(int level, const char *text, const char *format) {
    lines_.push_back(LogLine{level, text, format != nullptr ? format : ""});
    if (handler_) {
        handler_(lines_.back());
    }
}

void DeliverLogLine(int level, const char *text, const char *format) {
    if (text == nullptr) {
        return;
    }
    if (tCapture != nullptr) {
        tCapture->Take(level, text, format);
        return;
    }
    // A line outside any call of ours: the driver logs only inside calls,
    // so this is another program's use of the logging module.
    std::fprintf(stderr, "%d %s\n", level, text);
    std::fflush(stderr);
}

} // namespace orvtiw::host
