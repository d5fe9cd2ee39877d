#include "shared_library.h"

#include <atomic>
#include <filesystem>
#include <system_error>

#include "orvtiw/host.h"
#include "private_directory.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

namespace orvtiw::host {

namespace {

// The file a copy is made of: a bare name is looked for beside the program
// first, where the system's own loading looks for it too, then in the
// current directory.
std::string FileToCopy(const std::string &path) {
    if (path.find_first_of("/\\") != std::string::npos) {
        return path;
    }
    const std::string beside = ExecutableDirectory() + path;
    std::error_code ec;
    return std::filesystem::is_regular_file(beside, ec) ? beside : path;
}

} // namespace

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

namespace {

constexpr char kCopyPrefix[] = "orvtiw-module-copy";

// A loaded DLL's file cannot be deleted, so copies stay until the process
// ends; each load clears what earlier processes left (a copy still loaded
// refuses, and stays).
void RemoveLeftCopies(const std::filesystem::path &base) {
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(base, ec)) {
        if (entry.path().filename().string().rfind(kCopyPrefix, 0) == 0) {
            std::filesystem::remove_all(entry.path(), ec);
        }
    }
}

} // namespace

bool SharedLibrary::OpenPrivateCopy(const std::string &path, SharedLibrary &out, std::string &error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) {
        error = "no temporary directory for a copy of " + path + ": " + ec.message();
        return false;
    }
    static std::atomic<unsigned> copies{0};
    if (copies.load() == 0) {
        RemoveLeftCopies(base);
    }
    const std::string tag = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(copies.fetch_add(1));
    const fs::path directory = base / (std::string(kCopyPrefix) + "-" + tag);
    fs::create_directories(directory, ec);
    // A name of its own: a DLL already loaded under the same base name
    // could otherwise be taken for this one.
    const fs::path module(FileToCopy(path));
    const fs::path copy = directory / (module.stem().string() + "-" + tag + module.extension().string());
    if (!ec) {
        fs::copy_file(module, copy, fs::copy_options::overwrite_existing, ec);
    }
    if (ec) {
        error = "cannot copy " + path + " to " + copy.string() + ": " + ec.message();
        return false;
    }
    return Open(copy.string(), false, out, error);
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

bool SharedLibrary::OpenPrivateCopy(const std::string &path, SharedLibrary &out, std::string &error) {
    // The dynamic loader takes a file it has loaded already for the same
    // library, so the copy is a file of its own; once loaded it is mapped,
    // and the file and its directory can go at once.
    PrivateDirectory directory;
    if (!directory.Create("orvtiw-module-copy", error)) {
        return false;
    }
    const std::filesystem::path copy = directory.Path() / std::filesystem::path(path).filename();
    std::error_code ec;
    std::filesystem::copy_file(FileToCopy(path), copy, ec);
    if (ec) {
        error = "cannot copy " + path + ": " + ec.message();
        return false;
    }
    return Open(copy.string(), false, out, error);
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
