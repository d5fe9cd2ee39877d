// Collects every message the driver logs, with its level, its format text
// and the formatted line, for the duration of a test.
#pragma once

#include <string>
#include <vector>

namespace orvtiw::test {

struct LogEntry {
    int level;
    std::string format;
    std::string text;
    int channel; // the first argument after the format
};

class CaptureLog {
public:
    CaptureLog();  // installs itself as the driver's err
    ~CaptureLog(); // restores the previous receiver
    CaptureLog(const CaptureLog &) = delete;
    CaptureLog &operator=(const CaptureLog &) = delete;

    const std::vector<LogEntry> &entries() const;
    std::vector<std::string> texts() const;
    std::vector<std::string> formats() const;
    void clear();
};

} // namespace orvtiw::test
