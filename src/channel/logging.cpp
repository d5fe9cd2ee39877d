#include "channel/logging.h"

#include <cstdarg>
#include <cstdio>

#if defined(_WIN32)
// The host exports its logging function from KELMAR.dll; the module imports
// it by name through an import library.
extern "C" __declspec(dllimport) int err(int level, const char *format, ...);
#elif defined(ORVTIW_HAVE_DLFCN)
#include <dlfcn.h>
#include <link.h>
#endif

namespace orvtiw {
namespace {

ErrFunction gOverride = nullptr;

// Unused on Windows, where the import from KELMAR.dll is always there.
[[maybe_unused]] [[gnu::format(printf, 2, 3)]] int StderrErr(int level, const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "%d %s\n", level, text);
    return 0;
}

#if !defined(_WIN32) && defined(ORVTIW_HAVE_DLFCN)
// Finds `err` in the host's logging library only. A plain reference, or a
// lookup in the global scope, would find the C library's err(3), which
// prints and exits the process.
ErrFunction FindHostErr() {
    void *library = dlopen("libkelmar.so", RTLD_LAZY | RTLD_NOLOAD);
    if (library == nullptr) {
        return nullptr;
    }
    ErrFunction found = nullptr;
    void *symbol = dlsym(library, "err");
    link_map *map = nullptr;
    Dl_info info{};
    if (symbol != nullptr && dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr &&
        dladdr(symbol, &info) != 0 && info.dli_fbase != nullptr &&
        reinterpret_cast<ElfW(Addr)>(info.dli_fbase) == map->l_addr) {
        found = reinterpret_cast<ErrFunction>(symbol);
    }
    dlclose(library); // drops only the reference that RTLD_NOLOAD added
    return found;
}
#endif

ErrFunction HostErr() {
#if defined(_WIN32)
    return &err;
#elif defined(ORVTIW_HAVE_DLFCN)
    // Kept once found: the host loads its logging library before the driver
    // and keeps it for the life of the process.
    static ErrFunction bound = nullptr;
    if (bound == nullptr) {
        bound = FindHostErr();
    }
    return bound != nullptr ? bound : &StderrErr;
#else
    return &StderrErr;
#endif
}

} // namespace

ErrFunction CurrentErr() {
    return gOverride != nullptr ? gOverride : HostErr();
}

void SetErrFunction(ErrFunction fn) {
    gOverride = fn;
}

} // namespace orvtiw
