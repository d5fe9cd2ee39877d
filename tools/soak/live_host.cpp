#include "live_host.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
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

// ---- Simulator ------------------------------------------------------------

Simulator::~Simulator() {
    if (pid_ > 0) {
        Stop();
    }
}

bool Simulator::Start(std::string &error, const std::vector<std::string> &extra) {
    const std::string ready = dir_ + "/ready";
    unlink(ready.c_str());
    std::vector<std::string> args = {program_,     "--device",  device_,       "--memory",
                                     MemoryPath(), "--control", ControlPath(), "--ready-file",
                                     ready,        "--trace"};
    args.insert(args.end(), extra.begin(), extra.end());
    const int log = open(LogPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log < 0) {
        error = "cannot open " + LogPath() + ": " + std::strerror(errno);
        return false;
    }
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        close(log);
        error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(log, 1);
        dup2(log, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(log);
    pid_ = pid;
    for (int i = 0; i < 1000; ++i) {
        std::ifstream in(ready);
        pid_t written = 0;
        if (in >> written && written == pid_) {
            return true;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error = "tiwaysim exited before getting ready:\n" + Log();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Kill();
    error = "tiwaysim did not get ready within 10 s:\n" + Log();
    return false;
}

bool Simulator::Alive() {
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
    }
    return pid_ > 0;
}

void Simulator::Kill() {
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

bool Simulator::Stop() {
    if (pid_ <= 0) {
        return false;
    }
    kill(pid_, SIGTERM);
    int status = 0;
    bool exited = false;
    for (int i = 0; i < 500 && !exited; ++i) {
        exited = waitpid(pid_, &status, WNOHANG) == pid_;
        if (!exited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (!exited) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return exited && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           Log().find("tiwaysim: stopped") != std::string::npos;
}

std::string Simulator::Log() const {
    return ReadTextFile(LogPath());
}

std::string Simulator::Control(const std::string &command) const {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = ControlPath();
    if (path.size() >= sizeof addr.sun_path) {
        return "unreachable: control path too long";
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return "unreachable: no socket";
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        const std::string why = std::strerror(errno);
        close(fd);
        return "unreachable: " + why;
    }
    const std::string line = command + "\n";
    if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        close(fd);
        return "unreachable: send failed";
    }
    std::string answer;
    char buf[256];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 3000) <= 0) {
            break;
        }
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        answer.append(buf, static_cast<std::size_t>(n));
        if (answer.find('\n') != std::string::npos) {
            break;
        }
    }
    close(fd);
    const std::size_t nl = answer.find('\n');
    if (nl == std::string::npos) {
        return "unreachable: no answer";
    }
    return answer.substr(0, nl);
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
