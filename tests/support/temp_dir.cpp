#include "support/temp_dir.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include <unistd.h>

namespace orvtiw::test {

TempWorkingDir::TempWorkingDir() {
    previous_ = std::filesystem::current_path().string();
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int i = 0; i < 1000 && path_.empty(); ++i) {
        const std::filesystem::path candidate =
            base / ("orvtiw-test-" + std::to_string(getpid()) + "-" + std::to_string(std::rand()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate.string();
        }
    }
    std::filesystem::current_path(path_);
}

TempWorkingDir::~TempWorkingDir() {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempWorkingDir::write(const std::string &name, const std::string &content) const {
    std::FILE *f = std::fopen((std::filesystem::path(path_) / name).string().c_str(), "wb");
    if (f == nullptr) {
        throw std::runtime_error("cannot write " + name);
    }
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
}

} // namespace orvtiw::test
