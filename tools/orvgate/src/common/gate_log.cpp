#include "common/gate_log.h"

#include <cstdarg>
#include <cstdio>

namespace orvgate {

void Say(const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    // One call, so that lines of two threads never mix.
    std::fprintf(stderr, "orvgate: %s\n", text);
}

} // namespace orvgate
