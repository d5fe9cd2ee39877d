// Reply bytes of any kind and length, delivered by a card that keeps the
// handshake, to reads and writes of any TransferRecord and to a
// reconnection pass. The host's buffer is exactly as large as the record
// makes it; a read reported good must carry what the card sent.
#include <cstdint>
#include <cstring>
#include <vector>

#include "channel/instance.h"
#include "fuzz/fuzz_support.h"
#include "link/mailbox.h"
#include "support/virtual_platform.h"
#include "tiway/secondaries.h"
#include "tiway/transfer_guard.h"

using namespace orvtiw;
using namespace orvtiw::fuzz;

namespace {

constexpr std::size_t kReplyWindow = kReplyBufferSize; // what one reply can carry into the driver

struct Exchange {
    std::vector<std::uint8_t> request;
    bool replied = false;
    bool taken = false;
    std::vector<std::uint8_t> replyWindow; // mailbox bytes from replySize on, as the card left them
};

// A card that keeps the handshake and answers each request with the next
// reply of the fuzz input, at once, late, or not at all.
class FuzzCard {
public:
    FuzzCard(test::VirtualPlatform &platform, Reader &in) : platform_(platform), in_(in) {
        platform_.onMillisecond = [this](std::uint32_t now) { step(now); };
    }
    std::vector<Exchange> exchanges;

    // After the operation: a reply the driver took just before returning.
    void settle() {
        if (state_ == State::Replied && mem()[Mailbox::kHostCommand] == kCommandReplyTaken) {
            exchanges.back().taken = true;
        }
    }

private:
    enum class State { Idle, Pending, Replied, Ignoring };
    std::uint8_t *mem() { return platform_.cardWindow(); }

    void step(std::uint32_t now) {
        std::uint8_t *m = mem();
        std::uint8_t &command = m[Mailbox::kHostCommand];
        std::uint8_t &status = m[Mailbox::kCardStatus];
        switch (state_) {
        case State::Idle:
            if (command == kCommandRequest) {
                take(now);
            }
            break;
        case State::Pending:
            if (now >= at_) {
                const std::size_t n = reply_.size() < Mailbox::kReplyRoom ? reply_.size() : Mailbox::kReplyRoom;
                m[Mailbox::kReplySize] = static_cast<std::uint8_t>(replySize_ >> 8);
                m[Mailbox::kReplySize + 1] = static_cast<std::uint8_t>(replySize_);
                if (n > 0) {
                    std::memcpy(m + Mailbox::kReplyData, reply_.data(), n);
                }
                exchanges.back().replied = true;
                exchanges.back().replyWindow.assign(m + Mailbox::kReplySize, m + Mailbox::kReplySize + kReplyWindow);
                status = kStatusReplyReady;
                state_ = State::Replied;
                at_ = now + 100;
            }
            break;
        case State::Replied:
            if (command == kCommandReplyTaken) {
                exchanges.back().taken = true;
                command = kCommandIdle;
                state_ = State::Idle;
            } else if (now >= at_) {
                command = kCommandIdle; // the driver gave up on this reply
                state_ = State::Idle;
            }
            break;
        case State::Ignoring:
            if (now >= at_) {
                command = kCommandIdle;
                state_ = State::Idle;
            }
            break;
        }
    }

    void take(std::uint32_t now) {
        std::uint8_t *m = mem();
        const int size = m[Mailbox::kRequestSize] << 8 | m[Mailbox::kRequestSize + 1];
        FUZZ_CHECK(size <= Mailbox::kRequestRoom); // never into replySize and the handshake bytes
        Exchange exchange;
        exchange.request.assign(m + Mailbox::kRequestData, m + Mailbox::kRequestData + size);
        exchanges.push_back(exchange);
        if (in_.empty()) {
            state_ = State::Ignoring; // silent: the driver times out
            at_ = now;
            return;
        }
        const std::uint8_t mode = in_.u8();
        replySize_ = in_.u16();
        const std::size_t n = in_.u16() % static_cast<std::size_t>(Mailbox::kReplyRoom + 1);
        reply_ = in_.bytes(n);
        const std::uint32_t delay = mode >> 2;
        switch (mode & 3) {
        case 0: // reply at once
        case 1: // accept, reply later
            if ((mode & 3) == 1) {
                m[Mailbox::kCardStatus] = kStatusAccepted;
            }
            state_ = State::Pending;
            at_ = (mode & 3) == 0 ? now : now + delay;
            step(now);
            break;
        case 2: // no acknowledgement; drop the request a while later
            state_ = State::Ignoring;
            at_ = now + delay * 3;
            break;
        default: // accept and never reply
            m[Mailbox::kCardStatus] = kStatusAccepted;
            state_ = State::Ignoring;
            at_ = now + delay * 3;
            break;
        }
    }

    test::VirtualPlatform &platform_;
    Reader &in_;
    State state_ = State::Idle;
    std::uint32_t at_ = 0;
    std::uint16_t replySize_ = 0;
    std::vector<std::uint8_t> reply_;
};

std::int32_t RegionId(Reader &in) {
    static const char kLetters[] = {'V', 'X', 'Y', 'C', 'D', 'K', 'S', 'W', 'Q', 'A', 'Z', 'v', '@', '['};
    const std::uint8_t b = in.u8();
    if (b >= 0xF0) {
        return in.i32();
    }
    return kLetters[(b & 0x7F) % sizeof kLetters] | ((b & 0x80) != 0 ? 0x100 : 0);
}

std::int32_t Small(Reader &in, std::int32_t modulo) {
    const std::uint8_t b = in.u8();
    return b >= 0xF0 ? in.i32() : b % modulo;
}

std::int32_t Count(Reader &in) {
    const std::uint8_t b = in.u8();
    switch (b >> 6) {
    case 0:
        return b & 0x3F;
    case 1:
        return 60 + (b & 0x3F) * 4; // around the 256-byte limit of each width
    case 2:
        return -static_cast<std::int32_t>(b & 0x3F);
    default:
        return in.i32();
    }
}

std::int32_t Width(Reader &in) {
    const std::uint8_t b = in.u8();
    static const std::int32_t kWidths[] = {8, 16, 32, 0, 24, 64};
    return b >= 0xF0 ? in.i32() : kWidths[b % 6];
}

std::int32_t Bit(Reader &in) {
    const std::uint8_t b = in.u8();
    if (b < 0x80) {
        return ORV_NO_BIT;
    }
    return b >= 0xF0 ? in.i32() : (b - 0x80) % 18;
}

void RunTransfer(HostChannel &channel, test::VirtualPlatform &platform, FuzzCard &card, Reader &in, int op,
                 const TransferRecord &original) {
    Instance &inst = channel.inst;
    const bool gate = op == ORV_OP_READ_GATE || op == ORV_OP_WRITE_GATE;
    const bool write = op == ORV_OP_WRITE_GATE || op == ORV_OP_WRITE_BLOCK;
    TransferRecord single = original;
    std::uint32_t probe = 0;
    single.data = &probe; // the guard's answer for a record with a buffer
    if (gate) {
        single.count = 1;
    }
    const bool refused = CheckTransferRecord(inst, single, write ? TransferUse::Write : TransferUse::Read) != 0;

    GuardedBuffer buffer(refused ? 0 : HostBufferExtent(op, original));
    buffer.fill(in.bytes(8));
    const std::vector<std::uint8_t> before = buffer.contents();
    TransferRecord record = original;
    record.data = buffer.data();
    const std::size_t lead = gate && record.width <= 16 ? 2 : 0;
    std::uint8_t *values = buffer.data() + (refused ? 0 : lead);
    const RegionDef region = refused ? RegionDef{} : RegionOf(inst, record.regionId & 0xFF);
    const bool bitWrite = write && record.bitNumber != ORV_NO_BIT && region.elementBits == 16;

    const std::uint32_t start = platform.now;
    const int status = channel.run(op, &record);
    card.settle();
    const std::uint64_t elapsed = platform.now - start;
    buffer.check();

    FUZZ_CHECK(status == 0 || status == 1 || status == 2);
    FUZZ_CHECK(refused == (status == 1));
    if (refused) {
        FUZZ_CHECK(card.exchanges.empty());
        FUZZ_CHECK(std::memcmp(&record.count, &original.count, sizeof record.count) == 0);
        FUZZ_CHECK(record.data == buffer.data());
        return;
    }
    const std::uint64_t exchanges = write ? (bitWrite ? 9 : 3) : 6;
    FUZZ_CHECK(card.exchanges.size() <= exchanges);
    FUZZ_CHECK(elapsed <= exchanges * ExchangeBoundMs(inst.replyTimeout));
    if (gate) {
        FUZZ_CHECK(record.count == 1 || bitWrite);
        FUZZ_CHECK(bitWrite || record.data == buffer.data() + lead);
    }
    if (write || status != 0) {
        FUZZ_CHECK(buffer.contents() == before); // a write or a failed read leaves the host's values alone
    }
    if (status != 0) {
        return;
    }
    if (!write) {
        CheckGoodRead(inst, platform.cardWindow(), record, values);
        return;
    }
    TransferRecord sent = original;
    sent.count = gate || bitWrite ? 1 : original.count;
    const std::vector<std::uint8_t> hostValues(values, buffer.data() + buffer.size());
    CheckGoodWrite(inst, platform.cardWindow(), sent, hostValues, bitWrite, original.bitNumber);
}

void RunReconnect(HostChannel &channel, test::VirtualPlatform &platform, FuzzCard &card, std::uint32_t inUse) {
    Instance &inst = channel.inst;
    int count = 0;
    for (int a = 0; a < kSecondaryCount; ++a) {
        inst.secondaryInUse[a] = (inUse >> a & 1u) != 0 ? 1 : 0;
        count += a > 0 && inst.secondaryInUse[a] != 0 ? 1 : 0;
    }
    const std::uint32_t start = platform.now;
    FUZZ_CHECK(ReconnectSecondarys(inst) == 0);
    card.settle();
    FUZZ_CHECK(platform.now - start <= static_cast<std::uint64_t>(1 + count) * ExchangeBoundMs(inst.replyTimeout));

    FUZZ_CHECK(!card.exchanges.empty());
    const Exchange &list = card.exchanges.front();
    FUZZ_CHECK(list.request == (std::vector<std::uint8_t>{0x00, 0x06}));
    bool listed[kSecondaryCount] = {};
    if (list.taken) {
        // The reply as the driver holds it: what the length word covers, and
        // nothing of the mailbox bytes after it.
        std::vector<std::uint8_t> reply = list.replyWindow;
        const std::size_t length = static_cast<std::size_t>(reply[0] << 8 | reply[1]);
        for (std::size_t i = length + 2; i < reply.size(); ++i) {
            reply[i] = 0;
        }
        if (reply[2] != 0 && !(reply[2] == 1 && reply[5] == 0)) {
            for (std::size_t i = 3; i <= length + 1 && i < kReplyWindow; ++i) {
                if (reply[i] < kSecondaryCount) {
                    listed[reply[i]] = true;
                }
            }
        }
    }
    std::vector<std::vector<std::uint8_t>> expected;
    for (int a = 1; a < kSecondaryCount; ++a) {
        if (inst.secondaryInUse[a] != 0 && !listed[a]) {
            expected.push_back({0x04, static_cast<std::uint8_t>(a)});
        }
    }
    FUZZ_CHECK(card.exchanges.size() == expected.size() + 1);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        FUZZ_CHECK(card.exchanges[i + 1].request == expected[i]);
    }
    // The pass never changes which secondaries are in use.
    for (int a = 0; a < kSecondaryCount; ++a) {
        FUZZ_CHECK(inst.secondaryInUse[a] == ((inUse >> a & 1u) != 0 ? 1 : 0));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    QuietLog();
    test::VirtualPlatform platform;
    HostChannel channel(kFuzzChannel);
    FUZZ_CHECK(ColdStartWithRegions(channel, 0, 100) == 0);

    Reader in(data, size);
    const std::uint8_t opByte = in.u8();
    // The link as OpenCom leaves it, on the virtual card, with a short
    // time-out so that silent cards cost little virtual time.
    Instance &inst = channel.inst;
    inst.online = 1;
    inst.device = 7;
    inst.window = platform.cardWindow();
    inst.replyTimeout = 5 + in.u8() % 60;

    TransferRecord record{};
    record.reserved0 = 0x11111111;
    record.plcAddress = Small(in, 40);
    record.regionId = RegionId(in);
    const std::uint8_t elementHigh = in.u8();
    record.elementNumber = elementHigh >= 0xF0 ? in.i32() : elementHigh << 8 | in.u8();
    record.bitNumber = Bit(in);
    record.width = Width(in);
    record.count = Count(in);
    const std::uint32_t inUse = in.u32();

    FuzzCard card(platform, in);
    static const int kOps[] = {ORV_OP_READ_GATE, ORV_OP_READ_BLOCK, ORV_OP_WRITE_GATE, ORV_OP_WRITE_BLOCK, 0};
    const int op = kOps[opByte % 5];
    if (op == 0) {
        RunReconnect(channel, platform, card, inUse);
    } else {
        RunTransfer(channel, platform, card, in, op, record);
    }
    return 0;
}
