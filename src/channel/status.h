// Named results; the values are the ones the host and the internal routines
// have always used. Each kind of result has a type of its own, so that a
// result of one kind compared with another kind's constant draws a warning
// (an error in CI) instead of passing quietly.
#pragma once

namespace orvtiw {

// Returned to the host by every handler; also CheckReply's and OpenCom's.
enum Status : int {
    kStatusOk = 0,
    kStatusRefused = 1,
    kStatusCommFailure = 2,
};

// The 1-for-success convention of OpenDriver, ResetAdapter, SendStr,
// RecvStr and ReadInitFile.
enum Done : int {
    kNotDone = 0,
    kDone = 1,
};

// Transact's result.
enum Exchange : int {
    kExchangeOk = 0,
    kExchangeFailed = -1,
};

} // namespace orvtiw
