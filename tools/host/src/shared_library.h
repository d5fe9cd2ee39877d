// Loading a shared library and finding its symbols, the one place that
// knows dlopen and LoadLibrary.
#pragma once

#include <string>

namespace orvtiw::host {

class SharedLibrary {
  public:
    // Loads the library at `path` with every symbol resolved now; `global`
    // makes its symbols visible to libraries loaded later (POSIX only; on
    // Windows a later module's imports find a loaded DLL by its name). The
    // library stays loaded until the process ends.
    static bool Open(const std::string &path, bool global, SharedLibrary &out, std::string &error);
    // Loads a copy of the file at `path` of this process's own, with its own
    // static data, beside any other load of it; its symbols stay local.
    static bool OpenPrivateCopy(const std::string &path, SharedLibrary &out, std::string &error);

    void *Symbol(const char *name) const;

    // A function of the library, typed.
    template <typename Function> Function As(const char *name) const {
        return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(Symbol(name)));
    }

  private:
    void *handle_ = nullptr;
};

} // namespace orvtiw::host
