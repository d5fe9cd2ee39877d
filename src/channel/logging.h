// Every message of the driver goes through ORV_LOG to the host's logging
// function `err(level, format, ...)`. The format and the arguments reach the
// host unchanged, so the host sees the module's own format texts.
#pragma once

namespace orvtiw {

using ErrFunction = int (*)(int level, const char *format, ...);

// Levels in use.
inline constexpr int kLogProgress = 0; // warm start progress
inline constexpr int kLogConfig = 8;   // configuration, addresses, truncated replies
inline constexpr int kLogError = 32;   // start-up results and communication errors

// The function that receives the driver's messages: the host's `err` once it
// is found, else a fallback that prints "<level> <text>" to stderr.
ErrFunction CurrentErr();

// Replaces the receiver (tests); nullptr restores the host binding.
void SetErrFunction(ErrFunction fn);

// Lets the compiler check each format against its arguments; never runs.
[[gnu::format(printf, 1, 2)]] inline void CheckLogFormat(const char *, ...) {}

} // namespace orvtiw

#define ORV_LOG(level, ...)                                                                                  \
    do {                                                                                                     \
        if (false) ::orvtiw::CheckLogFormat(__VA_ARGS__);                                                    \
        (void)::orvtiw::CurrentErr()((level), __VA_ARGS__);                                                  \
    } while (0)
