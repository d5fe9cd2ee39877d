// Named statuses; the values are the ones the host and the internal
// routines have always used.
#pragma once

namespace orvtiw {

// Returned to the host by every handler.
inline constexpr int kStatusOk = 0;
inline constexpr int kStatusRefused = 1;
inline constexpr int kStatusCommFailure = 2;

// The 1-for-success convention of OpenDriver, ResetAdapter, SendStr,
// RecvStr and ReadInitFile.
inline constexpr int kDone = 1;
inline constexpr int kNotDone = 0;

// Transact's result.
inline constexpr int kExchangeOk = 0;
inline constexpr int kExchangeFailed = -1;

} // namespace orvtiw
