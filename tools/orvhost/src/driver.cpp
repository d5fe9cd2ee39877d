#include "driver.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "kelmar.h"

namespace orvhost {

bool Driver::Load(const std::string &kelmarPath, const std::string &modulePath, int minLevel, std::string &error) {
    // The logging module comes first and global: the driver binds `err`
    // from it while it loads (Windows) or at its first message (POSIX).
    if (!kelmar_.Open(kelmarPath, true, error)) {
        error = "logging module: " + error;
        return false;
    }
    auto setLevel = reinterpret_cast<KelmarSetMinLevelFunction>(kelmar_.Symbol("kelmar_set_min_level"));
    if (setLevel == nullptr || kelmar_.Symbol("err") == nullptr) {
        error = "logging module " + kelmarPath + " lacks err or kelmar_set_min_level";
        return false;
    }
    setLevel(minLevel);

    if (!module_.Open(modulePath, false, error)) {
        error = "driver module: " + error;
        return false;
    }
    main_ = reinterpret_cast<OrvMainFunction>(module_.Symbol("OrvMain"));
    if (main_ == nullptr) {
        error = "driver module " + modulePath + " does not export OrvMain";
        return false;
    }

    info_ = InfoRecord{};
    const std::int32_t status = Call(ORV_OP_GET_DRIVER_INFO, &info_);
    if (status != ORV_STATUS_OK) {
        error = "driver info (operation 14): status " + std::to_string(status);
        return false;
    }
    if (info_.instanceSize <= 0 || info_.instanceSize > kMaxInstanceSize) {
        error = "driver reports an instance size of " + std::to_string(info_.instanceSize) + " bytes";
        return false;
    }
    const std::size_t slots =
        (static_cast<std::size_t>(info_.instanceSize) + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    instance_ = std::make_unique<std::max_align_t[]>(slots); // value-initialised: all zero
    return true;
}

std::int32_t Driver::Call(std::int32_t op, void *params) {
    CallRecord call{};
    call.instance = instance_.get();
    call.op = op;
    call.channel = channel_;
    call.params = params;
    return main_(&call);
}

std::string InitFileName(std::int32_t channel) {
    char name[32];
    std::snprintf(name, sizeof name, "OrvTiw%02d.int", static_cast<int>(channel));
    return name;
}

bool InitFileDirectory::Prepare(const std::string &source, std::int32_t channel, std::string &error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_regular_file(source, ec)) {
        error = "initialisation file " + source + " is not a readable file";
        return false;
    }
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) {
        error = "no temporary directory: " + ec.message();
        return false;
    }
    // create_directory reports whether it made the directory, so a name
    // taken by someone else is never reused.
    const auto seed = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate = base / ("orvhost-" + std::to_string(seed % 1000000007ULL) + "-" +
                                           std::to_string(attempt));
        if (fs::create_directory(candidate, ec) && !ec) {
            directory_ = candidate;
            break;
        }
    }
    if (directory_.empty()) {
        error = "cannot create a working directory under " + base.string();
        return false;
    }
    fs::copy_file(source, directory_ / InitFileName(channel), fs::copy_options::overwrite_existing, ec);
    if (ec) {
        error = "cannot copy " + source + ": " + ec.message();
        return false;
    }
    return true;
}

InitFileDirectory::~InitFileDirectory() {
    if (!directory_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(directory_, ec);
    }
}

} // namespace orvhost
