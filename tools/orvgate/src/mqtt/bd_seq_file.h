// The birth/death sequence number, kept in a small file so that a restart
// never reuses the bdSeq of the connection before it.
#pragma once

#include <cstdint>
#include <string>

namespace orvgate::mqtt {

class BdSeqFile {
  public:
    // An empty path keeps the number in memory only.
    explicit BdSeqFile(std::string path);

    // The bdSeq for the next CONNECT packet: the one Reserve gave last if
    // no CONNECT carried it (Sent was not called since), else one more (mod
    // 256) than the last one used, written to the file before it returns;
    // 0 when no number was ever used (no file). The file holds the number
    // reserved, so a restart goes on after it whether or not its CONNECT
    // went out. A file that holds no number is reported in `warning` and
    // counts as none; so does a write that fails, after which the number
    // goes on in memory.
    std::uint8_t Reserve(std::string &warning);
    // A CONNECT packet carrying the reserved number was sent.
    void Sent() {
        sent_ = true;
    }

  private:
    std::string path_;
    bool loaded_ = false;
    bool have_ = false;
    bool sent_ = true; // the number in last_ was used (a number from the file counts as used)
    std::uint8_t last_ = 0;
};

} // namespace orvgate::mqtt
