// KELMAR.dll for Windows: the host logging module that the driver imports
// `err` from. It prints every message as one "<level> <text>" line on stderr.
#include <cstdarg>
#include <cstdio>

extern "C" [[gnu::format(printf, 2, 3)]] int err(int level, const char *format, ...);

extern "C" int err(int level, const char *format, ...) {
    if (format == nullptr) {
        return 0;
    }
    // One buffer and one write per line, so a line is never split by output
    // from elsewhere in the process.
    char text[2048];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0) {
        std::fprintf(stderr, "%d (unformattable message: %s)\n", level, format);
    } else {
        std::fprintf(stderr, "%d %s\n", level, text);
    }
    std::fflush(stderr);
    return 0;
}
