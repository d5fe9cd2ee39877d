#include "private_directory.h"

#include <chrono>
#include <system_error>

#if !defined(_WIN32)
#include <stdlib.h>
#endif

namespace orvtiw::host {

bool PrivateDirectory::Create(const std::string &prefix, std::string &error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) {
        error = "no temporary directory: " + ec.message();
        return false;
    }
#if defined(_WIN32)
    // create_directory reports whether it made the directory, so a name
    // taken by someone else is never reused.
    const auto seed = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (unsigned attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        const fs::path candidate =
            base / (prefix + "-" + std::to_string(seed % 1000000007ULL) + "-" + std::to_string(attempt));
        if (fs::create_directory(candidate, ec) && !ec) {
            path_ = candidate;
        }
    }
#else
    // mkdtemp makes the directory with mode 0700 under a name no one else holds.
    std::string pattern = (base / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
    }
#endif
    if (path_.empty()) {
        error = "cannot create a private directory under " + base.string();
        return false;
    }
    return true;
}

PrivateDirectory::~PrivateDirectory() {
    if (!path_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
}

} // namespace orvtiw::host
