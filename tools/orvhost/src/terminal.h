// Whether a stream of the C library is a terminal, and the terminal's
// control sequences switched on where a console needs to be asked.
#pragma once

#include <cstdio>

namespace orvhost {

bool IsTerminal(std::FILE *stream);

// Lets the terminal behind `stream` take cursor movement sequences (Windows
// consoles take them only when asked); true when it does.
bool EnableCursorControl(std::FILE *stream);

} // namespace orvhost
