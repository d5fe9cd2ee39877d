#include "shared_library.h"

#include <filesystem>
#include <system_error>

#include "orvtiw/host.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

namespace orvtiw::host {

#if defined(_WIN32)

bool SharedLibrary::Open(const std::string &path, bool /*global*/, SharedLibrary &out, std::string &error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    out.handle_ = reinterpret_cast<void *>(module);
    return true;
}

void *SharedLibrary::Symbol(const char *name) const {
    if (handle_ == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

std::string ExecutableDirectory() {
    char path[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        return {};
    }
    std::string text(path, n);
    const auto slash = text.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
}

const char *KelmarFileName() {
    return "KELMAR.dll";
}

const char *ModuleFileName() {
    return "OrvTiw.dll";
}

#else

bool SharedLibrary::Open(const std::string &path, bool global, SharedLibrary &out, std::string &error) {
    void *handle = dlopen(path.c_str(), RTLD_NOW | (global ? RTLD_GLOBAL : RTLD_LOCAL));
    if (handle == nullptr) {
        const char *reason = dlerror();
        error = reason != nullptr ? reason : ("cannot load " + path);
        return false;
    }
    out.handle_ = handle;
    return true;
}

void *SharedLibrary::Symbol(const char *name) const {
    return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

std::string ExecutableDirectory() {
    char path[PATH_MAX + 1] = {};
    const ssize_t n = readlink("/proc/self/exe", path, PATH_MAX);
    if (n <= 0) {
        return {};
    }
    std::string text(path, static_cast<std::size_t>(n));
    const auto slash = text.find_last_of('/');
    return slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
}

const char *KelmarFileName() {
    return "libkelmar.so";
}

const char *ModuleFileName() {
    return "libOrvTiw.so";
}

#endif

std::string LocateModuleFile(const char *fileName, const std::string &fallback) {
    const std::string directory = ExecutableDirectory();
    if (directory.empty()) {
        return fallback;
    }
    std::error_code ec;
    for (const std::string &candidate : {directory + fileName, directory + ORVTIW_RELATIVE_LIBDIR + "/" + fileName}) {
        if (std::filesystem::is_regular_file(candidate, ec)) {
            return candidate;
        }
    }
    return fallback;
}

} // namespace orvtiw::host
