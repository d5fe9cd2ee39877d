#include "progress.h"

namespace orvhost {
namespace {

// Shorter waits pass without a line, so reads and writes never flicker.
constexpr auto kShowAfter = std::chrono::milliseconds(300);
constexpr auto kRedrawEvery = std::chrono::milliseconds(250);

// The phases and how long the driver waits in each at most: the reset's
// 1 s pause and 20 s for the card, and the configuration's two 5 s pauses.
constexpr char kResetAndConfiguration[] = "adapter reset, then configuration|31";
constexpr char kReset[] = "adapter reset|21";
constexpr char kConfiguration[] = "adapter configuration|10";
constexpr char kReconnection[] = "reconnecting the secondaries in use|";

bool Contains(const std::string &text, const char *part) {
    return text.find(part) != std::string::npos;
}

} // namespace

Progress::Progress(std::ostream &out, bool terminal) : out_(out), terminal_(terminal) {
    if (terminal_) {
        ticker_ = std::thread([this] { Ticker(); });
    }
}

Progress::~Progress() {
    if (terminal_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
            EraseLocked();
        }
        wake_.notify_all();
        ticker_.join();
    }
}

std::string Progress::PhaseAfter(const std::string &operation, const std::string &lineText) {
    if (operation == "cold start" && Contains(lineText, "TIW: Version ")) {
        return kResetAndConfiguration;
    }
    if (operation == "warm start") {
        if (Contains(lineText, "TIW: Warm Start reopen Com")) {
            return kReset;
        }
        if (Contains(lineText, "TIW: Warm Start Com opened")) {
            return kConfiguration;
        }
        if (Contains(lineText, "TIW: Configure adapter rc=")) {
            return kReconnection;
        }
    }
    return {};
}

void Progress::Begin(const std::string &operation) {
    if (!terminal_) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    operation_ = operation;
    // A reopen logs nothing on its way: it is a reset from the start.
    phase_ = operation == "reopen" ? kReset : "opening the link|";
    begun_ = phaseBegun_ = Clock::now();
    running_ = true;
}

void Progress::Line(const orvtiw::host::LogLine &line, bool shown) {
    if (!terminal_) {
        if (shown) {
            out_ << line.level << " " << line.text << "\n";
            out_.flush();
        }
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (shown) {
        EraseLocked();
        out_ << line.level << " " << line.text << "\n";
    }
    if (running_) {
        const std::string next = PhaseAfter(operation_, line.text);
        if (!next.empty() && next != phase_) {
            phase_ = next;
            phaseBegun_ = Clock::now();
        }
    }
    DrawLocked();
    out_.flush();
}

void Progress::End() {
    if (!terminal_) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    EraseLocked();
    out_.flush();
}

void Progress::Ticker() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_) {
        wake_.wait_for(lock, kRedrawEvery);
        if (!quit_) {
            DrawLocked();
            out_.flush();
        }
    }
}

void Progress::DrawLocked() {
    const auto now = Clock::now();
    if (!running_ || now - begun_ < kShowAfter) {
        return;
    }
    const auto bar = phase_.find('|');
    const std::string what = phase_.substr(0, bar);
    const std::string most = bar == std::string::npos ? std::string() : phase_.substr(bar + 1);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - phaseBegun_).count();
    std::string text = operation_ + ": " + what + " - " + std::to_string(seconds) + " s";
    if (!most.empty()) {
        text += " of up to " + most + " s";
    }
    // Spaces cover what a longer line before left.
    if (text.size() < drawn_) {
        text.append(drawn_ - text.size(), ' ');
    }
    out_ << '\r' << text;
    drawn_ = text.size();
}

void Progress::EraseLocked() {
    if (drawn_ == 0) {
        return;
    }
    out_ << '\r' << std::string(drawn_, ' ') << '\r';
    drawn_ = 0;
}

} // namespace orvhost
