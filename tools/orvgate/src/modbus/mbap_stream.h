// The bytes of one Modbus TCP connection, cut into request frames by their
// MBAP headers: a frame is the 7-byte header (transaction, protocol 0, the
// length of what follows it counting the unit id, the unit id) and the PDU.
// Bounded: a connection holds at most kCapacity bytes not yet taken, and a
// header that is not Modbus, or gives a frame longer than 260 bytes or
// without a function code, makes the stream malformed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace orvgate {

inline constexpr std::size_t kMbapHeaderBytes = 7;
inline constexpr std::size_t kMaxFrameBytes = 260;

class MbapStream {
  public:
    static constexpr std::size_t kCapacity = 4096;

    enum class Next {
        Frame,     // `frame` holds a whole request
        NeedMore,  // the bytes so far begin a frame, or there are none
        Malformed, // not Modbus TCP: the connection must close
    };

    // Room for more bytes now, and where they go (Appended tells how many came).
    std::span<std::uint8_t> Room();
    void Appended(std::size_t n);

    // The next whole frame, which stays valid until Room is called.
    Next Take(std::span<const std::uint8_t> &frame);
    // Bytes of a frame begun and not yet whole.
    bool Partial() const {
        return held_ > taken_;
    }

  private:
    std::vector<std::uint8_t> bytes_ = std::vector<std::uint8_t>(kCapacity);
    std::size_t held_ = 0;  // bytes in the buffer
    std::size_t taken_ = 0; // of them already handed out as frames
};

} // namespace orvgate
