#include "terminal.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace orvhost {

#if defined(_WIN32)

bool IsTerminal(std::FILE *stream) {
    return _isatty(_fileno(stream)) != 0;
}

bool EnableCursorControl(std::FILE *stream) {
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) {
        return false;
    }
    return SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

#else

bool IsTerminal(std::FILE *stream) {
    return isatty(fileno(stream)) != 0;
}

bool EnableCursorControl(std::FILE *stream) {
    return IsTerminal(stream);
}

#endif

} // namespace orvhost
