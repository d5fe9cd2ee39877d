// The date and time at which the module was built, for the version line.
#pragma once

namespace orvtiw {

// "Mmm dd yyyy", the day always in two digits.
const char *BuildDate();
// "hh:mm:ss".
const char *BuildTime();

} // namespace orvtiw
