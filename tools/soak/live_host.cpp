#include "live_host.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <dlfcn.h>
#include <unistd.h>

#include "kelmar.h"

namespace orvlive {

// ---- Module ---------------------------------------------------------------

bool Module::Load(const std::string &kelmarPath, const std::string &modulePath, std::string &error) {
    // Global, so that the driver finds `err` in it by soname, as with orvhost.
    void *kelmar = dlopen(kelmarPath.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (kelmar == nullptr) {
        error = std::string("cannot load the logging module: ") + dlerror();
        return false;
    }
    auto setSink = reinterpret_cast<KelmarSetSinkFunction>(dlsym(kelmar, "kelmar_set_sink"));
    auto setLevel = reinterpret_cast<KelmarSetMinLevelFunction>(dlsym(kelmar, "kelmar_set_min_level"));
    if (setSink == nullptr || setLevel == nullptr) {
        error = kelmarPath + " lacks kelmar_set_sink or kelmar_set_min_level";
        return false;
    }
    setLevel(0);
    setSink(&Module::Sink, this);
    void *module = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        error = std::string("cannot load the driver module: ") + dlerror();
        return false;
    }
    main_ = reinterpret_cast<OrvMainFunction>(dlsym(module, "OrvMain"));
    if (main_ == nullptr) {
        error = modulePath + " does not export OrvMain";
        return false;
    }
    InfoRecord info{};
    CallRecord call{};
    call.op = ORV_OP_GET_DRIVER_INFO;
    call.channel = channel;
    call.params = &info;
    if (main_(&call) != ORV_STATUS_OK || info.instanceSize <= 0 || info.instanceSize > (1 << 20)) {
        error = "driver info (operation 14) failed or gave an implausible instance size";
        return false;
    }
    instanceSize_ = info.instanceSize;
    NewInstance();
    return true;
}

void Module::NewInstance() {
    const std::size_t slots = (static_cast<std::size_t>(instanceSize_) + sizeof(std::max_align_t) - 1) /
                              sizeof(std::max_align_t);
    instance_ = std::make_unique<std::max_align_t[]>(slots);
}

std::int32_t Module::Call(std::int32_t op, void *params) {
    CallRecord call{};
    call.instance = instance_.get();
    call.op = op;
    call.channel = channel;
    call.params = params;
    return main_(&call);
}

void Module::Sink(void *context, int level, const char *text) {
    auto *self = static_cast<Module *>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.push_back(LogLine{level, text});
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

std::int32_t Module::ColdStart(bool online, std::int32_t timeoutUnits) {
    StartRecord start{};
    start.online = online ? 1 : 0;
    start.timeout = timeoutUnits;
    return Call(ORV_OP_COLD_START, &start);
}

std::int32_t Module::WarmStart(std::int32_t secondary) {
    WarmStartRecord warm{};
    warm.address = secondary;
    return Call(ORV_OP_WARM_START, &warm);
}

std::int32_t Module::Reopen() {
    return Call(ORV_OP_REOPEN_COM, nullptr);
}

std::int32_t Module::Stop() {
    return Call(ORV_OP_STOP, nullptr);
}

std::int32_t Module::SetTimeout(std::int32_t units) {
    TimeoutRecord record{};
    record.timeout = units;
    return Call(ORV_OP_SET_TIMEOUT, &record);
}

std::int32_t Module::ParseAddress(const std::string &text, std::int32_t gateType, std::int32_t count,
                                  AddressRecord &out) {
    out = AddressRecord{};
    out.text = text.c_str();
    out.gateType = gateType;
    out.count = count;
    const std::int32_t status = Call(count > 0 ? ORV_OP_PARSE_BLOCK_ADDRESS : ORV_OP_PARSE_SINGLE_ADDRESS, &out);
    out.text = nullptr; // the caller's string may not outlive the record
    return status;
}

TransferRecord Module::Transfer(const AddressRecord &a, void *data) const {
    // Filled anew for every call: the driver moves `data` on in place.
    TransferRecord t{};
    t.plcAddress = a.plcAddress;
    t.regionId = a.regionId;
    t.elementNumber = a.elementNumber;
    t.bitNumber = a.bitNumber;
    t.width = a.width;
    t.count = a.count > 0 ? a.count : 1;
    t.data = data;
    return t;
}

std::int32_t Module::ReadGate(const AddressRecord &a, std::uint32_t &value) {
    // A sentinel pattern, so that a status 0 that wrote nothing shows up.
    std::uint8_t area[8];
    std::memset(area, 0xA5, sizeof area);
    TransferRecord t = Transfer(a, area);
    const std::int32_t status = Call(ORV_OP_READ_GATE, &t);
    if (a.width <= 16) {
        std::uint16_t v;
        std::memcpy(&v, area + 2, sizeof v);
        value = v;
    } else {
        std::memcpy(&value, area, sizeof value);
    }
    return status;
}

std::int32_t Module::WriteGate(const AddressRecord &a, std::uint32_t value) {
    std::uint8_t area[8] = {};
    if (a.width <= 16) {
        const auto v = static_cast<std::uint16_t>(value);
        std::memcpy(area + 2, &v, sizeof v);
    } else {
        std::memcpy(area, &value, sizeof value);
    }
    TransferRecord t = Transfer(a, area);
    return Call(ORV_OP_WRITE_GATE, &t);
}

std::int32_t Module::ReadBlock(const AddressRecord &a, void *data) {
    TransferRecord t = Transfer(a, data);
    return Call(ORV_OP_READ_BLOCK, &t);
}

std::int32_t Module::WriteBlock(const AddressRecord &a, void *data) {
    TransferRecord t = Transfer(a, data);
    return Call(ORV_OP_WRITE_BLOCK, &t);
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
