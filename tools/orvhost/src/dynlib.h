// The few operating system calls of the host program: loading libraries and
// finding the program's own directory.
#pragma once

#include <string>

namespace orvhost {

class Library {
public:
    Library() = default;
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;
    ~Library();

    // Loads the library at `path` with every symbol resolved now; `global`
    // makes its symbols visible to libraries loaded later (POSIX only).
    bool Open(const std::string &path, bool global, std::string &error);
    void *Symbol(const char *name) const;
    bool IsOpen() const {
        return handle_ != nullptr;
    }

private:
    void *handle_ = nullptr;
};

// The directory of the running executable, with a trailing separator, or
// an empty text when it cannot be found.
std::string ExecutableDirectory();

// File names of the logging module and the driver module on this system.
const char *KelmarFileName();
const char *ModuleFileName();

} // namespace orvhost
