#include "common/gate_log.h"

#include <sys/stat.h>

#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace orvgate {

namespace {

std::atomic<bool> journal{false};
std::atomic<bool> verbose{false};

const char *LevelWord(Level level) {
    switch (level) {
    case Level::Error:
        return "error";
    case Level::Warning:
        return "warning";
    case Level::Notice:
        return "notice";
    case Level::Info:
        return "info";
    case Level::Debug:
        return "debug";
    }
    return "?";
}

void Write(Level level, const char *format, va_list args) {
    if (level == Level::Debug && !verbose.load(std::memory_order_relaxed)) {
        return;
    }
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    const std::string line =
        FormatLogLine(level, journal.load(std::memory_order_relaxed), std::chrono::system_clock::now(), text) + "\n";
    // One call, so that lines of two threads never mix.
    std::fputs(line.c_str(), stderr);
}

} // namespace

void SetUpLog(bool beVerbose) {
    verbose = beVerbose;
    struct stat st {};
    const char *stream = std::getenv("JOURNAL_STREAM");
    journal = stream != nullptr && fstat(2, &st) == 0 &&
              IsJournalStream(stream, static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino));
}

bool LogVerbose() {
    return verbose.load(std::memory_order_relaxed);
}

void Log(Level level, const char *format, ...) {
    va_list args;
    va_start(args, format);
    Write(level, format, args);
    va_end(args);
}

void Say(const char *format, ...) {
    va_list args;
    va_start(args, format);
    Write(Level::Info, format, args);
    va_end(args);
}

bool IsJournalStream(const char *journalStream, std::uint64_t device, std::uint64_t inode) {
    std::uint64_t d = 0;
    std::uint64_t i = 0;
    int used = 0;
    if (std::sscanf(journalStream, "%" SCNu64 ":%" SCNu64 "%n", &d, &i, &used) != 2 || journalStream[used] != '\0') {
        return false;
    }
    return d == device && i == inode;
}

std::string LocalTime(std::chrono::system_clock::time_point at) {
    const std::time_t t = std::chrono::system_clock::to_time_t(at);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &t); // the unit tests' Windows builds
#else
    localtime_r(&t, &local);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string FormatLogLine(Level level, bool toJournal, std::chrono::system_clock::time_point at,
                          const std::string &text) {
    if (toJournal) {
        // The journal stamps the time itself.
        return "<" + std::to_string(static_cast<int>(level)) + ">" + text;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03d", static_cast<int>(ms));
    return LocalTime(at) + millis + " " + LevelWord(level) + " orvgate: " + text;
}

} // namespace orvgate
