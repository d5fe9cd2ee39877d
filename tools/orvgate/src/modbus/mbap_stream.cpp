#include "modbus/mbap_stream.h"

#include <algorithm>

namespace orvgate {
namespace {

constexpr std::size_t kProtocolAt = 2;
constexpr std::size_t kLengthAt = 4;
constexpr std::size_t kUnitAndFunction = 2;

std::size_t Word(const std::uint8_t *at) {
    return static_cast<std::size_t>(at[0]) << 8 | at[1];
}

} // namespace

std::span<std::uint8_t> MbapStream::Room() {
    if (taken_ > 0) {
        // What was handed out is done with: keep the rest at the front.
        std::copy(bytes_.begin() + static_cast<std::ptrdiff_t>(taken_),
                  bytes_.begin() + static_cast<std::ptrdiff_t>(held_), bytes_.begin());
        held_ -= taken_;
        taken_ = 0;
    }
    return std::span<std::uint8_t>(bytes_).subspan(held_);
}

void MbapStream::Appended(std::size_t n) {
    held_ = std::min(held_ + n, bytes_.size());
}

MbapStream::Next MbapStream::Take(std::span<const std::uint8_t> &frame) {
    const std::size_t waiting = held_ - taken_;
    const std::uint8_t *at = bytes_.data() + taken_;
    if (waiting >= kLengthAt && Word(at + kProtocolAt) != 0) {
        return Next::Malformed; // not Modbus
    }
    if (waiting < kMbapHeaderBytes) {
        return Next::NeedMore;
    }
    const std::size_t length = Word(at + kLengthAt);
    if (length < kUnitAndFunction || kLengthAt + 2 + length > kMaxFrameBytes) {
        return Next::Malformed;
    }
    const std::size_t whole = kLengthAt + 2 + length;
    if (waiting < whole) {
        return Next::NeedMore;
    }
    frame = std::span<const std::uint8_t>(at, whole);
    taken_ += whole;
    return Next::Frame;
}

} // namespace orvgate
