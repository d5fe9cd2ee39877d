// The gateway's own log: one line per event on standard error, whichever
// thread writes it. Each line carries its level: as the `<N>` prefix that
// journald reads when standard error is the journal's stream (systemd sets
// JOURNAL_STREAM to that stream's device and inode), otherwise as a local
// time of day with milliseconds and the level's word, for a person reading
// a terminal or a file.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace orvgate {

// The syslog priorities journald understands.
enum class Level : int { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

// Decides once, at start, how lines are written: `verbose` lets Debug lines
// through. Before it is called, lines are written as to a terminal.
void SetUpLog(bool verbose);
bool LogVerbose();

void Log(Level level, const char *format, ...) __attribute__((format(printf, 2, 3)));
// An Info line.
void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Whether JOURNAL_STREAM's "DEVICE:INODE" names the stream open as standard error.
bool IsJournalStream(const char *journalStream, std::uint64_t device, std::uint64_t inode);
// One line as it is written, without its newline.
std::string FormatLogLine(Level level, bool journal, std::chrono::system_clock::time_point at, const std::string &text);
// A wall-clock moment as the log and the web view give it: "2026-12-09 06:39:49" local time.
std::string LocalTime(std::chrono::system_clock::time_point at);

} // namespace orvgate
