// The card's side of the mailbox driven by the fuzz input: at every virtual
// millisecond the next bytes decide what the card writes into cardStatus,
// hostCommand, replySize and the reply bytes, or let it behave for a while,
// while the driver starts a channel, parses addresses, reads, writes, warm
// starts and reopens. No operation may crash, outlast the bounds of its
// waits, or report a read or write as good that the card did not answer.
#include <cstdint>
#include <cstring>
#include <vector>

#include "channel/instance.h"
#include "fuzz/fuzz_support.h"
#include "link/mailbox.h"
#include "support/virtual_platform.h"
#include "tiway/adapter_configuration.h"

using namespace orvtiw;
using namespace orvtiw::fuzz;

namespace {

constexpr std::uint64_t kSlackMs = 8;
constexpr std::uint64_t kResetBoundMs = kResetPauseMs + kResetWaitMs + kSlackMs;

class HostileCard {
public:
    HostileCard(test::VirtualPlatform &platform, Reader &in) : platform_(platform), in_(in) {
        platform_.onMillisecond = [this](std::uint32_t) { step(); };
    }

private:
    std::uint8_t *mem() { return platform_.cardWindow(); }

    void step() {
        if (wait_ > 0) {
            --wait_;
            return;
        }
        if (behave_ > 0) {
            --behave_;
            behave();
            return;
        }
        if (in_.empty()) {
            return; // a dead card
        }
        std::uint8_t *m = mem();
        const std::uint8_t action = in_.u8();
        if (action < 0x40) {
            wait_ = action;
        } else if (action < 0x60) {
            m[Mailbox::kCardStatus] = in_.u8();
        } else if (action < 0x80) {
            m[Mailbox::kHostCommand] = in_.u8();
        } else if (action < 0x90) {
            const std::uint16_t size = in_.u16();
            m[Mailbox::kReplySize] = static_cast<std::uint8_t>(size >> 8);
            m[Mailbox::kReplySize + 1] = static_cast<std::uint8_t>(size);
        } else if (action < 0xA0) {
            const std::size_t offset = static_cast<std::size_t>(in_.u8()) * 2;
            const std::vector<std::uint8_t> bytes = in_.bytes(in_.u8());
            for (std::size_t i = 0; i < bytes.size() && offset + i < Mailbox::kReplyRoom; ++i) {
                m[Mailbox::kReplyData + offset + i] = bytes[i];
            }
        } else {
            behave_ = static_cast<std::uint32_t>(action - 0x9F) * 8;
            behave();
        }
    }

    // One millisecond of a card that keeps the handshake and answers every
    // request in its proper shape.
    void behave() {
        std::uint8_t *m = mem();
        std::uint8_t &command = m[Mailbox::kHostCommand];
        if (command == kCommandReset) {
            m[Mailbox::kCardStatus] = kStatusResetDone;
            command = kCommandIdle;
        } else if (command == kCommandReplyTaken) {
            command = kCommandIdle;
        } else if (command == kCommandRequest && m[Mailbox::kCardStatus] != kStatusReplyReady) {
            answer();
            m[Mailbox::kCardStatus] = kStatusReplyReady;
        }
    }

    static int BytesPerElement(std::uint8_t tt) {
        switch (tt) {
        case 0x03:
        case 0x04:
        case 0x05:
        case 0x07:
            return 1;
        case 0x0B:
            return 4;
        default:
            return 2;
        }
    }

    void answer() {
        std::uint8_t *m = mem();
        const std::uint8_t *request = m + Mailbox::kRequestData;
        std::vector<std::uint8_t> reply;
        if (request[0] == 0x01 && request[4] == 0x20) {
            const int n = (request[6] << 8 | request[7]) * BytesPerElement(request[5]);
            reply = {0x01, 0x00, 0x00, 0x20, 0x00, 0x00};
            for (int i = 0; i < n && reply.size() < Mailbox::kReplyRoom; ++i) {
                reply.push_back(static_cast<std::uint8_t>(++counter_));
            }
        } else if (request[0] == 0x01) {
            reply = {0x01, 0x00, 0x00, 0x30};
        } else if (request[0] == 0x04) {
            reply = {0x02, request[1]};
        } else {
            reply = {0x02, 0x00, 0x00};
        }
        m[Mailbox::kReplySize] = static_cast<std::uint8_t>(reply.size() >> 8);
        m[Mailbox::kReplySize + 1] = static_cast<std::uint8_t>(reply.size());
        std::memcpy(m + Mailbox::kReplyData, reply.data(), reply.size());
    }

    test::VirtualPlatform &platform_;
    Reader &in_;
    std::uint32_t wait_ = 0;
    std::uint32_t behave_ = 0;
    std::uint8_t counter_ = 0;
};

struct Session {
    test::VirtualPlatform &platform;
    HostChannel &channel;

    // Runs one operation and checks that it kept within its bound.
    int run(int op, void *params, std::uint64_t boundMs) {
        const std::uint32_t start = platform.now;
        const int status = channel.run(op, params);
        FUZZ_CHECK(platform.now - start <= boundMs);
        return status;
    }
    std::uint64_t exchange() const { return ExchangeBoundMs(channel.inst.replyTimeout); }
};

struct Gate {
    AddressRecord address;
    int op;
};

TransferRecord TransferOf(const AddressRecord &a, std::int32_t count, void *data) {
    return TransferRecord{0, 0, a.plcAddress, a.regionId, a.elementNumber, a.bitNumber, a.width, 0, count, 0, data};
}

void Read(Session &s, const AddressRecord &a, int op, std::int32_t count) {
    const bool gate = op == ORV_OP_READ_GATE;
    TransferRecord probe = TransferOf(a, gate ? 1 : count, nullptr);
    GuardedBuffer buffer(HostBufferExtent(op, probe));
    buffer.fill({0xEE, 0x11});
    const std::vector<std::uint8_t> before = buffer.contents();
    TransferRecord record = TransferOf(a, count, buffer.data());
    const int status = s.run(op, &record, 6 * s.exchange());
    buffer.check();
    FUZZ_CHECK(status == 0 || status == 2 || (gate && status == 1 && s.channel.inst.online == 0));
    if (status != 0) {
        FUZZ_CHECK(buffer.contents() == before);
        return;
    }
    const std::size_t lead = gate && a.width <= 16 ? 2 : 0;
    CheckGoodRead(s.channel.inst, s.platform.cardWindow(), record, buffer.data() + lead);
}

void Write(Session &s, const AddressRecord &a, int op, std::int32_t count, std::uint8_t seed) {
    const bool gate = op == ORV_OP_WRITE_GATE;
    TransferRecord probe = TransferOf(a, gate ? 1 : count, nullptr);
    GuardedBuffer buffer(HostBufferExtent(op, probe));
    buffer.fill({seed, static_cast<std::uint8_t>(seed * 7 + 1), 0x00, 0x80});
    const std::vector<std::uint8_t> before = buffer.contents();
    const bool bitWrite = a.bitNumber != ORV_NO_BIT && a.width == 16;
    TransferRecord record = TransferOf(a, count, buffer.data());
    const int status = s.run(op, &record, (bitWrite ? 9 : 3) * s.exchange());
    buffer.check();
    FUZZ_CHECK(buffer.contents() == before);
    FUZZ_CHECK(status == 0 || status == 2 || (gate && status == 1 && s.channel.inst.online == 0));
    if (status != 0) {
        return;
    }
    const std::size_t lead = gate && a.width <= 16 ? 2 : 0;
    TransferRecord sent = probe;
    sent.count = bitWrite ? 1 : probe.count;
    CheckGoodWrite(s.channel.inst, s.platform.cardWindow(), sent,
                   std::vector<std::uint8_t>(before.begin() + static_cast<std::ptrdiff_t>(lead), before.end()), bitWrite,
                   a.bitNumber);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    QuietLog();
    test::VirtualPlatform platform;
    HostChannel channel(kFuzzChannel);
    Session s{platform, channel};
    Reader in(data, size);
    const std::uint16_t steps = in.u16();
    const std::int32_t shortTimeout = 1 + in.u8() % 5;
    HostileCard card(platform, in);

    const std::uint64_t coldBound = kResetBoundMs + 4 * ExchangeBoundMs(1000) + 2 * kConfigurePauseMs + kSlackMs;
    const int cold = ColdStartWithRegions(channel, 1, 100);
    FUZZ_CHECK(platform.now - 0x10000u <= coldBound);
    FUZZ_CHECK(cold == 0 || cold == 2);
    FUZZ_CHECK(cold == 0 || (channel.inst.device == kInvalidDevice && channel.inst.window == nullptr));

    TimeoutRecord timeout{0, 0, 0, shortTimeout};
    FUZZ_CHECK(s.run(ORV_OP_SET_TIMEOUT, &timeout, 0) == 0);

    // Every address is accepted whatever the card does with the connect.
    static const char *const kTexts[] = {"01V0064", "02D0007", "1FX00A0", "03K00015", "04W0002", "05S0001"};
    static const std::int32_t kTypes[] = {0, 3, 6, 6, 3, 6};
    AddressRecord a[6];
    for (int i = 0; i < 6; ++i) {
        a[i] = AddressRecord{kTexts[i], 0, kTypes[i], 0, 0, 0, 0, 0, 0};
        FUZZ_CHECK(s.run(ORV_OP_PARSE_SINGLE_ADDRESS, &a[i], s.exchange()) == 0);
    }
    AddressRecord block{"1FX00A0", 0, 0, 16, 0, 0, 0, 0, 0};
    FUZZ_CHECK(s.run(ORV_OP_PARSE_BLOCK_ADDRESS, &block, s.exchange()) == 0);

    const std::uint64_t warmBound = kResetBoundMs + 4 * ExchangeBoundMs(channel.inst.replyTimeout) +
                                    2 * kConfigurePauseMs + 32 * s.exchange() + kSlackMs;
    for (int step = 0; step < 16; ++step) {
        if ((steps >> step & 1u) == 0) {
            continue;
        }
        switch (step) {
        case 0: Read(s, a[0], ORV_OP_READ_GATE, 5); break;
        case 1: Read(s, a[0], ORV_OP_READ_BLOCK, 4); break;
        case 2: Read(s, a[2], ORV_OP_READ_GATE, 1); break;
        case 3: Read(s, block, ORV_OP_READ_BLOCK, 16); break;
        case 4: Read(s, a[1], ORV_OP_READ_BLOCK, 3); break;
        case 5: Read(s, a[3], ORV_OP_READ_GATE, 1); break;
        case 6: Read(s, a[4], ORV_OP_READ_BLOCK, 2); break;
        case 7: Write(s, a[0], ORV_OP_WRITE_GATE, 9, in.u8()); break;
        case 8: Write(s, a[1], ORV_OP_WRITE_BLOCK, 2, in.u8()); break;
        case 9: Write(s, a[3], ORV_OP_WRITE_GATE, 1, in.u8()); break;
        case 10: Write(s, block, ORV_OP_WRITE_BLOCK, 3, in.u8()); break;
        case 11: Write(s, a[5], ORV_OP_WRITE_GATE, 1, in.u8()); break;
        case 12: {
            WarmStartRecord warm{static_cast<std::int32_t>(in.u8() % 34) - 1};
            const int status = s.run(ORV_OP_WARM_START, &warm, warmBound);
            FUZZ_CHECK(status == 0 || status == 2 || status == -1);
            break;
        }
        case 13: {
            const int status = s.run(ORV_OP_REOPEN_COM, nullptr, kResetBoundMs);
            FUZZ_CHECK(status == 0 || status == 2);
            FUZZ_CHECK(status == 0 || (channel.inst.device == kInvalidDevice && channel.inst.window == nullptr));
            break;
        }
        case 14: Read(s, a[4], ORV_OP_READ_GATE, 1); break;
        default:
            FUZZ_CHECK(s.run(ORV_OP_CLOSE_COM, nullptr, 0) == 0);
            FUZZ_CHECK(channel.inst.device == kInvalidDevice && channel.inst.window == nullptr);
            break;
        }
    }
    FUZZ_CHECK(s.run(ORV_OP_STOP, nullptr, 0) == 0);
    FUZZ_CHECK(platform.opens.size() == platform.closes.size());
    return 0;
}
