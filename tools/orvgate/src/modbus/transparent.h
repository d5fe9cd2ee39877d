// The transparent default, served without a map: the unit id is the
// secondary on channel 1, holding registers are V, input registers WX,
// coils Y and discrete inputs X, register or coil N standing for element
// N+1. Every request is served by its own driver calls, made by the card's
// thread as a job; writes only with --writable.
#pragma once

#include <cstdint>
#include <string>

#include "modbus/request_router.h"

namespace orvgate {

inline constexpr std::int32_t kTransparentChannel = 1;
// WX is not predefined: the channel's initialisation file gives it this letter.
inline constexpr char kWordInputLetter = 'W';

// The initialisation file of the transparent channel: the card window at
// `segment` and the WX region.
std::string TransparentInitText(std::uint16_t segment);

// The region letter a function reaches.
char LetterOf(std::uint8_t function);

class TransparentRouter : public Router {
  public:
    TransparentRouter(bool writable, int statsUnit, StatsRegisters stats);
    void Complete(const Request &request, const Job &job, Tables &tables) const override;

  private:
    Routed RouteNetwork(const Request &request, Clock::time_point now, Tables &tables) const override;
    bool writable_;
};

} // namespace orvgate
