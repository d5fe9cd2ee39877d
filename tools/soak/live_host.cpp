#include "live_host.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace orvlive {

// ---- Module ---------------------------------------------------------------

bool Module::Load(const std::string &kelmarPath, const std::string &modulePath, std::string &error) {
    module_ = orvtiw::host::Module::Load(kelmarPath, modulePath, error);
    if (module_ == nullptr) {
        return false;
    }
    NewInstance();
    return true;
}

void Module::NewInstance() {
    channel_ = std::make_unique<orvtiw::host::Channel>(module_, 1);
    channel_->SetLogHandler([this](const LogLine &line) { Keep(line); });
}

void Module::Keep(const LogLine &line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
}

std::vector<LogLine> Module::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::size_t Module::LineCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
}

std::vector<LogLine> Module::LinesSince(std::size_t first) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (first >= lines_.size()) {
        return {};
    }
    return std::vector<LogLine>(lines_.begin() + static_cast<std::ptrdiff_t>(first), lines_.end());
}

void Module::ClearLines() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

std::int32_t Module::ColdStart(bool online, std::int32_t timeoutUnits, const std::string &initText) {
    orvtiw::host::StartOptions start;
    start.online = online;
    start.timeoutUnits = timeoutUnits;
    start.initText = initText;
    return channel_->ColdStart(start).status;
}

std::int32_t Module::WarmStart(std::int32_t secondary) {
    return channel_->WarmStart(secondary).status;
}

std::int32_t Module::Reopen() {
    return channel_->Reopen().status;
}

std::int32_t Module::Stop() {
    return channel_->Stop().status;
}

std::int32_t Module::SetTimeout(std::int32_t units) {
    return channel_->SetTimeout(units).status;
}

std::int32_t Module::ParseAddress(const std::string &text, orvtiw::host::ValueType type, std::int32_t count,
                                  Gate &out) {
    auto checked = count > 0 ? channel_->CheckBlock(text, type, count) : channel_->Check(text, type);
    out = checked.gate;
    return checked.status;
}

std::int32_t Module::ReadGate(const Gate &gate, std::uint32_t &value) {
    // The host's area holds a pattern, and the value is taken from it
    // whatever the status, so that a failed read which wrote into it anyway
    // shows.
    std::uint8_t area[8];
    std::memset(area, 0xA5, sizeof area);
    TransferRecord record = orvtiw::host::TransferRecordOf(gate, area);
    const std::int32_t status = channel_->Call(ORV_OP_READ_GATE, &record).status;
    const auto layout =
        orvtiw::host::LayoutFor(orvtiw::host::Transfer::ReadGate, gate.decoded.width, gate.decoded.bitNumber, 1);
    if (layout) {
        value = orvtiw::host::LoadSlot(area + layout->offset, layout->size);
    }
    return status;
}

std::int32_t Module::WriteGate(const Gate &gate, std::uint32_t value) {
    return channel_->Write(gate, std::span<const std::uint32_t>(&value, 1)).status;
}

std::int32_t Module::ReadBlock(const Gate &gate, std::vector<std::uint32_t> &values) {
    auto read = channel_->Read(gate);
    if (read.ok()) {
        values = std::move(read.values);
    }
    return read.status;
}

std::int32_t Module::WriteBlock(const Gate &gate, const std::vector<std::uint32_t> &values) {
    return channel_->Write(gate, values).status;
}

int CountLines(const std::vector<LogLine> &lines, const std::string &needle, int level) {
    int n = 0;
    for (const LogLine &l : lines) {
        if ((level < 0 || l.level == level) && l.text.find(needle) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

std::string Describe(const std::vector<LogLine> &lines) {
    std::string s;
    for (const LogLine &l : lines) {
        s += "  " + std::to_string(l.level) + " " + l.text + "\n";
    }
    return s;
}

// ---- Files ----------------------------------------------------------------

TempDir::TempDir(const std::string &prefix) {
    std::error_code ec;
    std::string pattern = (std::filesystem::temp_directory_path(ec) / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
    }
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
}

bool WriteTextFile(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    return out.good();
}

std::string ReadTextFile(const std::string &path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace orvlive
