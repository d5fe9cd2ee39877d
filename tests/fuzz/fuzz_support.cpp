#include "fuzz/fuzz_support.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <unistd.h>

#include "channel/logging.h"
#include "link/big_endian.h"
#include "link/mailbox.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVTIW_FUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ORVTIW_FUZZ_ASAN 1
#endif
#if defined(ORVTIW_FUZZ_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace orvtiw::fuzz {

void Fail(const char *file, int line, const char *what) {
    std::fprintf(stderr, "%s:%d: fuzz invariant broken: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

std::uint8_t Reader::u8() {
    return pos_ < size_ ? data_[pos_++] : 0;
}

std::uint16_t Reader::u16() {
    const std::uint16_t high = u8();
    return static_cast<std::uint16_t>(high << 8 | u8());
}

std::uint32_t Reader::u32() {
    const std::uint32_t high = u16();
    return high << 16 | u16();
}

std::vector<std::uint8_t> Reader::bytes(std::size_t n) {
    const std::size_t take = n < remaining() ? n : remaining();
    std::vector<std::uint8_t> out(data_ + pos_, data_ + pos_ + take);
    pos_ += take;
    return out;
}

namespace {

[[gnu::format(printf, 2, 3)]] int Drop(int, const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return 0;
}

std::string gPrivateDirectory;

void RemovePrivateDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(gPrivateDirectory, ignored);
}

} // namespace

void QuietLog() {
    SetErrFunction(&Drop);
}

const std::string &PrivateDirectory() {
    if (gPrivateDirectory.empty()) {
        std::error_code error;
        std::string pattern = (std::filesystem::temp_directory_path(error) / "orvtiw-fuzz-XXXXXX").string();
        if (error) {
            pattern = "/tmp/orvtiw-fuzz-XXXXXX";
        }
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
        gPrivateDirectory = pattern;
        std::atexit(RemovePrivateDirectory);
    }
    return gPrivateDirectory;
}

InPrivateDirectory::InPrivateDirectory() {
    std::error_code error;
    previous_ = std::filesystem::current_path(error).string();
    FUZZ_CHECK(!error);
    FUZZ_CHECK(chdir(PrivateDirectory().c_str()) == 0);
}

InPrivateDirectory::~InPrivateDirectory() {
    FUZZ_CHECK(chdir(previous_.c_str()) == 0);
}

void WriteFile(const std::string &name, const std::uint8_t *data, std::size_t size) {
    const std::string path = PrivateDirectory() + "/" + name;
    std::FILE *file = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(size == 0 || std::fwrite(data, 1, size, file) == size);
    FUZZ_CHECK(std::fclose(file) == 0);
}

void WriteFile(const std::string &name, const std::string &text) {
    WriteFile(name, reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
}

int ColdStartWithRegions(HostChannel &channel, int online, int timeoutUnits) {
    host::StartOptions start;
    start.online = online != 0;
    start.timeoutUnits = timeoutUnits;
    start.initText = kRegionFile;
    return channel.channel.ColdStart(start).status;
}

GuardedBuffer::GuardedBuffer(std::size_t size) : size_(size), block_(new std::uint8_t[size + 2 * kGuard]) {
    std::memset(block_, 0xA5, size + 2 * kGuard);
#if defined(ORVTIW_FUZZ_ASAN)
    ASAN_POISON_MEMORY_REGION(block_, kGuard);
    ASAN_POISON_MEMORY_REGION(block_ + kGuard + size_, kGuard);
#endif
}

GuardedBuffer::~GuardedBuffer() {
#if defined(ORVTIW_FUZZ_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(block_, size_ + 2 * kGuard);
#endif
    delete[] block_;
}

void GuardedBuffer::fill(const std::vector<std::uint8_t> &pattern) {
    for (std::size_t i = 0; i < size_; ++i) {
        data()[i] = pattern.empty() ? 0 : pattern[i % pattern.size()];
    }
}

std::vector<std::uint8_t> GuardedBuffer::contents() const {
    return std::vector<std::uint8_t>(block_ + kGuard, block_ + kGuard + size_);
}

void GuardedBuffer::check() const {
#if defined(ORVTIW_FUZZ_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(block_, size_ + 2 * kGuard);
#endif
    for (std::size_t i = 0; i < kGuard; ++i) {
        FUZZ_CHECK(block_[i] == 0xA5);
        FUZZ_CHECK(block_[kGuard + size_ + i] == 0xA5);
    }
#if defined(ORVTIW_FUZZ_ASAN)
    ASAN_POISON_MEMORY_REGION(block_, kGuard);
    ASAN_POISON_MEMORY_REGION(block_ + kGuard + size_, kGuard);
#endif
}

std::size_t HostBufferExtent(int op, const TransferRecord &record) {
    const bool gate = op == ORV_OP_READ_GATE || op == ORV_OP_WRITE_GATE;
    const bool write = op == ORV_OP_WRITE_GATE || op == ORV_OP_WRITE_BLOCK;
    const std::int64_t count = gate ? 1 : record.count;
    if (count < 0 || (record.width / 8) * count > 256) {
        return 0; // refused before any value is touched
    }
    const std::size_t n = static_cast<std::size_t>(count);
    const bool noBit = record.bitNumber == ORV_NO_BIT;
    std::size_t values = 0;
    switch (record.width) {
    case 8:
        values = write ? 2 * n : (noBit ? n : 2);
        break;
    case 16:
        values = noBit ? 2 * n : 2;
        break;
    case 32:
        values = 4 * n;
        break;
    default:
        return 0;
    }
    return values + (gate && record.width <= 16 ? 2 : 0);
}

namespace {

std::uint16_t Be16(const std::uint8_t *p) {
    std::uint16_t v = 0;
    GetBE16(p, &v);
    return v;
}

std::uint32_t Be32(const std::uint8_t *p) {
    std::uint32_t v = 0;
    GetBE32(p, &v);
    return v;
}

std::uint16_t Host16(const std::uint8_t *p, std::size_t index) {
    std::uint16_t v;
    std::memcpy(&v, p + 2 * index, sizeof v);
    return v;
}

std::uint32_t Host32(const std::uint8_t *p, std::size_t index) {
    std::uint32_t v;
    std::memcpy(&v, p + 4 * index, sizeof v);
    return v;
}

bool ReplyReportsNoError(const std::uint8_t *reply) {
    return reply[2] != 0 && !(reply[2] == 1 && reply[5] == 0);
}

// The reply in the Instance is the one in the mailbox, taken by the driver.
void CheckReplyTaken(const Instance &inst, const std::uint8_t *card) {
    const std::int32_t length = inst.replyLength;
    FUZZ_CHECK(card[Mailbox::kHostCommand] == kCommandReplyTaken);
    FUZZ_CHECK(length >= 2 && length <= kReplyBufferSize);
    FUZZ_CHECK(std::memcmp(inst.reply, card + Mailbox::kReplySize, static_cast<std::size_t>(length)) == 0);
    const int claimed = Be16(inst.reply) + 2;
    FUZZ_CHECK(length == (claimed < kReplyBufferSize ? claimed : kReplyBufferSize));
    FUZZ_CHECK(ReplyReportsNoError(inst.reply));
}

struct Shape {
    RegionDef region;
    std::uint16_t elements; // controller elements
    std::uint16_t first;    // first controller element
};

Shape ShapeOf(const Instance &inst, const TransferRecord &record) {
    const int letter = record.regionId & 0xFF;
    FUZZ_CHECK(IsRegionLetter(letter));
    Shape s{inst.regions[letter - 'A'], 0, 0};
    FUZZ_CHECK(s.region.multiple != 0);
    std::int64_t n = record.count;
    std::int64_t e = record.elementNumber;
    if (s.region.multiple == 2) {
        e = 2 * e + ((record.regionId & 0x100) != 0 ? 1 : 0);
        n = 2 * n;
    }
    s.elements = static_cast<std::uint16_t>(n & 0xFFFF);
    s.first = static_cast<std::uint16_t>(e & 0xFFFF);
    return s;
}

} // namespace

void CheckGoodRead(const Instance &inst, const std::uint8_t *card, const TransferRecord &record,
                   const std::uint8_t *hostValues) {
    const Shape s = ShapeOf(inst, record);
    const std::uint8_t *request = card + Mailbox::kRequestData;
    FUZZ_CHECK(Be16(card + Mailbox::kRequestSize) == 10);
    FUZZ_CHECK(request[0] == 0x01 && request[1] == static_cast<std::uint8_t>(record.plcAddress));
    FUZZ_CHECK(Be16(request + 2) == 6 && request[4] == 0x20 && request[5] == s.region.tt);
    FUZZ_CHECK(Be16(request + 6) == s.elements && Be16(request + 8) == s.first);
    CheckReplyTaken(inst, card);

    const bool noBit = record.bitNumber == ORV_NO_BIT;
    const std::size_t n = static_cast<std::size_t>(record.count);
    std::size_t used = 0;
    switch (record.width) {
    case 8:
        used = noBit ? n : 1;
        break;
    case 16:
        used = noBit ? 2 * n : 2;
        break;
    case 32:
        used = 4 * n;
        break;
    default:
        Fail(__FILE__, __LINE__, "a read reported good with a width no region has");
    }
    // Every byte the host got lies inside what the card said it sent.
    FUZZ_CHECK(static_cast<std::size_t>(Be16(inst.reply)) + 2 >= 8 + used);
    FUZZ_CHECK(static_cast<std::size_t>(inst.replyLength) >= 8 + used);
    const std::uint8_t *in = inst.reply + 8;
    if (record.width == 8 && noBit) {
        FUZZ_CHECK(n == 0 || std::memcmp(hostValues, in, n) == 0);
    } else if (record.width == 8) {
        FUZZ_CHECK(Host16(hostValues, 0) == (in[0] & 1));
    } else if (record.width == 16 && noBit) {
        for (std::size_t i = 0; i < n; ++i) {
            FUZZ_CHECK(Host16(hostValues, i) == Be16(in + 2 * i));
        }
    } else if (record.width == 16) {
        FUZZ_CHECK(record.bitNumber >= 0 && record.bitNumber <= 15);
        FUZZ_CHECK(Host16(hostValues, 0) == ((Be16(in) >> record.bitNumber) & 1));
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            FUZZ_CHECK(Host32(hostValues, i) == Be32(in + 4 * i));
        }
    }
}

void CheckGoodWrite(const Instance &inst, const std::uint8_t *card, const TransferRecord &record,
                    const std::vector<std::uint8_t> &hostValues, bool bitWrite, int bit) {
    const Shape s = ShapeOf(inst, record);
    const std::uint8_t *request = card + Mailbox::kRequestData;
    const std::size_t dataBytes = static_cast<std::size_t>(s.elements) * static_cast<std::size_t>(s.region.elementBits) / 8;
    FUZZ_CHECK(Be16(card + Mailbox::kRequestSize) == dataBytes + 8);
    FUZZ_CHECK(request[0] == 0x01 && request[1] == static_cast<std::uint8_t>(record.plcAddress));
    FUZZ_CHECK(Be16(request + 2) == dataBytes + 4 && request[4] == 0x30 && request[5] == s.region.tt);
    FUZZ_CHECK(Be16(request + 6) == s.first);
    CheckReplyTaken(inst, card);

    const std::uint8_t *out = request + 8;
    const std::size_t n = static_cast<std::size_t>(record.count);
    if (bitWrite) {
        FUZZ_CHECK(dataBytes == 2 && hostValues.size() >= 2);
        const bool set = Host16(hostValues.data(), 0) != 0;
        FUZZ_CHECK(((Be16(out) >> bit) & 1) == (set ? 1 : 0));
    } else if (s.region.elementBits == 8) {
        FUZZ_CHECK(hostValues.size() >= 2 * n);
        for (std::size_t i = 0; i < n; ++i) {
            FUZZ_CHECK(out[i] == hostValues[2 * i]);
        }
    } else if (s.region.elementBits == 16 && s.region.multiple == 1) {
        FUZZ_CHECK(hostValues.size() >= 2 * n);
        for (std::size_t i = 0; i < n; ++i) {
            FUZZ_CHECK(Be16(out + 2 * i) == Host16(hostValues.data(), i));
        }
    } else {
        FUZZ_CHECK(hostValues.size() >= 4 * n);
        for (std::size_t i = 0; i < n; ++i) {
            FUZZ_CHECK(Be32(out + 4 * i) == Host32(hostValues.data(), i));
        }
    }
}

std::uint64_t ExchangeBoundMs(std::int32_t replyTimeout) {
    return kPreviousCommandWaitMs + 2 * static_cast<std::uint64_t>(static_cast<std::uint32_t>(replyTimeout)) + 8;
}

} // namespace orvtiw::fuzz
