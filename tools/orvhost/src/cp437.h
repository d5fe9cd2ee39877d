// Conversion of the driver's code page 437 texts (its display banner) to UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvhost {

// Converts every byte of `text`; ASCII passes unchanged except control
// characters other than tab, line feed and carriage return, which become
// '?' so a text cannot steer the terminal.
std::string Cp437ToUtf8(std::string_view text);

// The length of a NUL-terminated text of the module, looked at no further
// than `limit` bytes, so a missing terminator cannot run the host off into
// unrelated memory.
std::size_t BoundedLength(const char *text, std::size_t limit);

} // namespace orvhost
