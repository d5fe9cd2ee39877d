// What the fuzz targets share: a reader over the fuzz input, a check that
// aborts (so both libFuzzer and the corpus replay report it), a quiet logger,
// a private working directory for initialisation files, host memory of
// exactly the reported Instance size, guarded host value buffers, and the
// oracle that a read reported good carries what the card sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "channel/instance.h"
#include "support/test_channel.h"
#include "orvtiw/host_abi.h"

namespace orvtiw::fuzz {

[[noreturn]] void Fail(const char *file, int line, const char *what);

#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            ::orvtiw::fuzz::Fail(__FILE__, __LINE__, #condition);                                            \
        }                                                                                                    \
    } while (0)

// Takes bytes from the front of the input; past its end every read gives 0.
class Reader {
public:
    Reader(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::size_t remaining() const { return size_ - pos_; }
    std::uint8_t u8();
    std::uint16_t u16();
    std::uint32_t u32();
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    std::vector<std::uint8_t> bytes(std::size_t n);
    std::vector<std::uint8_t> rest() { return bytes(remaining()); }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Sends the driver's messages through a formatter and drops them, so that
// every format still meets its arguments.
void QuietLog();

// A fresh directory per process, removed at exit, where the driver reads
// its initialisation files. It is the current directory only while an
// InPrivateDirectory lives, so that libFuzzer's own relative paths (corpus,
// artifacts) keep meaning what they meant.
const std::string &PrivateDirectory();
class InPrivateDirectory {
public:
    InPrivateDirectory();
    ~InPrivateDirectory();
    InPrivateDirectory(const InPrivateDirectory &) = delete;
    InPrivateDirectory &operator=(const InPrivateDirectory &) = delete;

private:
    std::string previous_;
};
// Writes a file of the private directory.
void WriteFile(const std::string &name, const std::uint8_t *data, std::size_t size);
void WriteFile(const std::string &name, const std::string &text);

// A channel's Instance in host memory of exactly the size operation 14
// reports, so that a byte beyond it is an AddressSanitizer report.
using HostChannel = test::TestChannel;

// Region file of the fuzz channels: a double region D, a single word region K
// whose multiple is left out, a discrete region S and a 32-bit region W.
inline constexpr char kRegionFile[] = "C800;800\nD;0A;2;2\nK;02;2\ns;07;1;1\nW;0B;4;1 (comment)\n";
inline constexpr int kFuzzChannel = 3;
// Runs ColdStart with the given online flag on a channel whose region file
// is kRegionFile (the channel's number must be kFuzzChannel).
int ColdStartWithRegions(HostChannel &channel, int online, int timeoutUnits);

// A host value buffer with guard zones on both sides: writes into them are
// found by check(), and under AddressSanitizer every access is reported.
class GuardedBuffer {
public:
    explicit GuardedBuffer(std::size_t size);
    ~GuardedBuffer();
    GuardedBuffer(const GuardedBuffer &) = delete;
    GuardedBuffer &operator=(const GuardedBuffer &) = delete;

    std::uint8_t *data() { return block_ + kGuard; }
    std::size_t size() const { return size_; }
    void fill(const std::vector<std::uint8_t> &pattern);
    std::vector<std::uint8_t> contents() const;
    // Aborts when a guard zone has changed.
    void check() const;

private:
    static constexpr std::size_t kGuard = 32;
    std::size_t size_;
    std::uint8_t *block_;
};

// The bytes the host value buffer spans for one operation on a record, as
// the host lays it out: packed bytes for a discrete block read, one 16-bit
// slot per element for a discrete block write, a 16-bit value for a bit or a
// single discrete point, two or four bytes per value otherwise. Gate
// operations add the two bytes that come before an 8- or 16-bit value.
std::size_t HostBufferExtent(int op, const TransferRecord &record);

// Checks, right after an operation returned 0 and before the card could act
// again, that the values the host got are those of a good reply the card
// sent to the read request of this record: the request in the mailbox, the
// reply copied from the mailbox unchanged, a length word that covers the
// values, a reply kind that reports no error, and each host value decoded
// from it. `record` is the record as the driver left it.
void CheckGoodRead(const Instance &inst, const std::uint8_t *card, const TransferRecord &record,
                   const std::uint8_t *hostValues);

// Same for a write reported good: the last request in the mailbox is the
// write-block request of this record with the given values (or, for a bit
// write, a word whose bit carries the host's value), and the reply taken is
// one that reports no error.
void CheckGoodWrite(const Instance &inst, const std::uint8_t *card, const TransferRecord &record,
                    const std::vector<std::uint8_t> &hostValues, bool bitWrite, int bit);

// The longest an exchange may take: the previous-command wait, the
// acknowledge and the reply waits, and the slack of the polls.
std::uint64_t ExchangeBoundMs(std::int32_t replyTimeout);

} // namespace orvtiw::fuzz
