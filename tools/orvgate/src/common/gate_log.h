// The gateway's own log: one line per event on standard error, whichever
// thread writes it, prefixed "orvgate: ".
#pragma once

namespace orvgate {

void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace orvgate
