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

    // The bdSeq of the next connection: one more (mod 256) than the last
    // one used, written to the file before it returns; 0 when no number was
    // ever used (no file). A file that holds no number is reported in
    // `warning` and counts as none; so does a write that fails, after which
    // the number goes on in memory.
    std::uint8_t Next(std::string &warning);

  private:
    std::string path_;
    bool loaded_ = false;
    bool have_ = false;
    std::uint8_t last_ = 0;
};

} // namespace orvgate::mqtt
