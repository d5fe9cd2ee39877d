// Runs a test inside a fresh temporary directory, as the host's current
// directory where the driver looks for its initialisation files.
#pragma once

#include <string>

namespace orvtiw::test {

class TempWorkingDir {
public:
    TempWorkingDir();
    ~TempWorkingDir();
    TempWorkingDir(const TempWorkingDir &) = delete;
    TempWorkingDir &operator=(const TempWorkingDir &) = delete;

    // Writes a file in the directory, bytes exactly as given.
    void write(const std::string &name, const std::string &content) const;
    const std::string &path() const { return path_; }

private:
    std::string previous_;
    std::string path_;
};

} // namespace orvtiw::test
