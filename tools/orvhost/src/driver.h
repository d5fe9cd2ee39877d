// One loaded driver module and one channel of it: the host side of OrvMain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "dynlib.h"
#include "orvtiw/host_abi.h"

namespace orvhost {

// Largest instance size the host believes: far above what any build of the
// driver reports, low enough that a garbled size cannot exhaust memory.
inline constexpr std::int32_t kMaxInstanceSize = 1 << 20;

class Driver {
public:
    // Loads the logging module (from `kelmarPath`) and then the driver
    // module, finds OrvMain, asks operation 14 for the instance size and
    // allocates the Instance.
    bool Load(const std::string &kelmarPath, const std::string &modulePath, int minLevel, std::string &error);

    // One call of OrvMain for this channel.
    std::int32_t Call(std::int32_t op, void *params);

    const InfoRecord &Info() const {
        return info_;
    }
    void SetChannel(std::int32_t channel) {
        channel_ = channel;
    }

private:
    Library kelmar_;
    Library module_;
    OrvMainFunction main_ = nullptr;
    InfoRecord info_{};
    std::unique_ptr<std::max_align_t[]> instance_;
    std::int32_t channel_ = 1;
};

// The channel's initialisation file when the user names one: it is copied
// as OrvTiwNN.int into a private directory, and the cold start runs with
// that directory as the current one, so no file of the user's current
// directory is overwritten.
class InitFileDirectory {
public:
    InitFileDirectory() = default;
    InitFileDirectory(const InitFileDirectory &) = delete;
    InitFileDirectory &operator=(const InitFileDirectory &) = delete;
    ~InitFileDirectory();

    bool Prepare(const std::string &source, std::int32_t channel, std::string &error);
    bool Active() const {
        return !directory_.empty();
    }
    const std::filesystem::path &Directory() const {
        return directory_;
    }

private:
    std::filesystem::path directory_;
};

// The name the driver looks for: "OrvTiw%02d.int".
std::string InitFileName(std::int32_t channel);

} // namespace orvhost
