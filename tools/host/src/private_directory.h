// A fresh directory of this process's own under the system's temporary
// directory, removed with everything in it when the object goes.
#pragma once

#include <filesystem>
#include <string>

namespace orvtiw::host {

class PrivateDirectory {
  public:
    PrivateDirectory() = default;
    ~PrivateDirectory();
    PrivateDirectory(const PrivateDirectory &) = delete;
    PrivateDirectory &operator=(const PrivateDirectory &) = delete;

    bool Create(const std::string &prefix, std::string &error);
    const std::filesystem::path &Path() const {
        return path_;
    }

  private:
    std::filesystem::path path_;
};

} // namespace orvtiw::host
