#include "kelmar.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>

namespace {

std::atomic<int> gMinLevel{0};
std::shared_mutex gSinkMutex;
KelmarSink gSink = nullptr;
KelmarFormatSink gFormatSink = nullptr;
void *gSinkContext = nullptr;

// Drops a trailing line end so that every line is printed with exactly one.
void TrimLineEnd(char *text) {
    std::size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) {
        text[--n] = '\0';
    }
}

} // namespace

extern "C" {

KELMAR_API int KELMAR_CALL err(int level, const char *format, ...) {
    if (format == nullptr) {
        return -1;
    }
    if (level < gMinLevel.load(std::memory_order_relaxed)) {
        return 0;
    }
    char text[1024];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0) {
        return -1;
    }
    TrimLineEnd(text);

    // The sink is read and called under the lock so that a host which swaps
    // its sink never sees a line go to one it has already released; shared,
    // so that threads calling drivers side by side never wait for each
    // other's lines.
    std::shared_lock<std::shared_mutex> lock(gSinkMutex);
    if (gFormatSink != nullptr) {
        gFormatSink(gSinkContext, level, format, text);
    } else if (gSink != nullptr) {
        gSink(gSinkContext, level, text);
    } else {
        std::fprintf(stderr, "%d %s\n", level, text);
        std::fflush(stderr);
    }
    return length;
}

KELMAR_API void KELMAR_CALL kelmar_set_min_level(int level) {
    gMinLevel.store(level, std::memory_order_relaxed);
}

KELMAR_API void KELMAR_CALL kelmar_set_sink(KelmarSink sink, void *context) {
    std::unique_lock<std::shared_mutex> lock(gSinkMutex);
    gSink = sink;
    gFormatSink = nullptr;
    gSinkContext = context;
}

KELMAR_API void KELMAR_CALL kelmar_set_format_sink(KelmarFormatSink sink, void *context) {
    std::unique_lock<std::shared_mutex> lock(gSinkMutex);
    gFormatSink = sink;
    gSink = nullptr;
    gSinkContext = context;
}

} // extern "C"
