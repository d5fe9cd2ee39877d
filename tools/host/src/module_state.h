// What every Module of one loaded driver module shares: its entry and the
// lock that every call into it is made under.
#pragma once

#include <mutex>

#include "orvtiw/host.h"

namespace orvtiw::host {

struct Module::State {
    OrvMainFunction entry = nullptr;
    std::mutex lock;
};

} // namespace orvtiw::host
