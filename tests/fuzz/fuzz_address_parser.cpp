// Gate address texts of any bytes and length, any gate type and count,
// through operations 3 and 4 on a channel without a card whose regions are
// the predefined ones and those of kRegionFile. An accepted address must
// decode into fields that a read or write can be served with.
#include <cstdint>
#include <cstring>
#include <vector>

#include "channel/instance.h"
#include "fuzz/fuzz_support.h"
#include "support/virtual_platform.h"
#include "tiway/transfer_guard.h"

using namespace orvtiw;
using namespace orvtiw::fuzz;

namespace {

// Gate types near the defined codes, and now and then any value.
std::int32_t GateType(Reader &in) {
    const std::uint8_t b = in.u8();
    return b < 0xF0 ? static_cast<std::int32_t>(b % 10) - 1 : in.i32();
}

std::int32_t Count(Reader &in) {
    const std::uint8_t b = in.u8();
    switch (b >> 6) {
    case 0:
        return b & 0x3F;
    case 1:
        return 200 + (b & 0x3F) * 2; // around the 256-byte limit
    case 2:
        return -static_cast<std::int32_t>(b & 0x3F);
    default:
        return in.i32();
    }
}

void ParseOne(HostChannel &channel, int op, std::int32_t gateType, std::int32_t count,
              const std::vector<std::uint8_t> &textBytes) {
    // The host's text in a block of exactly its length plus the NUL.
    char *text = new char[textBytes.size() + 1];
    if (!textBytes.empty()) {
        std::memcpy(text, textBytes.data(), textBytes.size());
    }
    text[textBytes.size()] = '\0';
    const std::size_t length = std::strlen(text);

    std::uint8_t flagsBefore[kSecondaryCount];
    std::memcpy(flagsBefore, channel.inst.secondaryInUse, sizeof flagsBefore);
    AddressRecord rec{text, 0x1234, gateType, count, -7, -7, -7, -7, -7};
    const int status = channel.run(op, &rec);

    FUZZ_CHECK(status == 0 || status == 1);
    FUZZ_CHECK(channel.inst.blockParse == 0);
    FUZZ_CHECK(rec.text == text && rec.reserved4 == 0x1234 && rec.gateType == gateType && rec.count == count);
    // Only the secondary of this address can become in use, and only when
    // the text named a valid one.
    for (int a = 0; a < kSecondaryCount; ++a) {
        if (channel.inst.secondaryInUse[a] != flagsBefore[a]) {
            FUZZ_CHECK(flagsBefore[a] == 0 && channel.inst.secondaryInUse[a] == 1);
            FUZZ_CHECK(a == rec.plcAddress && a >= 1);
        }
    }
    if (status == 0) {
        FUZZ_CHECK(length == 7 || length == 8);
        FUZZ_CHECK(gateType != ORV_GATE_STRING);
        FUZZ_CHECK(rec.plcAddress >= 1 && rec.plcAddress <= 31);
        FUZZ_CHECK(channel.inst.secondaryInUse[rec.plcAddress] == 1);
        FUZZ_CHECK(rec.width == 8 || rec.width == 16 || rec.width == 32);
        FUZZ_CHECK((rec.bitNumber >= 0 && rec.bitNumber <= 15) || rec.bitNumber == ORV_NO_BIT);
        const int letter = rec.regionId & 0xFF;
        FUZZ_CHECK((rec.regionId & ~0x1FF) == 0 && IsRegionLetter(letter));
        const RegionDef region = RegionOf(channel.inst, letter);
        const std::int32_t multiple = region.multiple;
        FUZZ_CHECK(multiple != 0);
        FUZZ_CHECK((rec.regionId & 0x100) == 0 || multiple == 2);
        FUZZ_CHECK(rec.elementNumber >= 0 && rec.elementNumber <= 0xFFFF);
        FUZZ_CHECK(rec.elementNumber > 0 || multiple == 2);
        if (op == ORV_OP_PARSE_BLOCK_ADDRESS) {
            FUZZ_CHECK(static_cast<std::int64_t>(rec.width / 8) * rec.count <= 256);
        }
        // What the parser accepts, a write of it must be served with, and a
        // read too unless it asks for one bit over several elements.
        if (op == ORV_OP_PARSE_SINGLE_ADDRESS || rec.count >= 0) {
            std::uint16_t value = 0;
            TransferRecord transfer{0, 0, rec.plcAddress, rec.regionId, rec.elementNumber, rec.bitNumber,
                                    rec.width, 0, op == ORV_OP_PARSE_SINGLE_ADDRESS ? 1 : rec.count, 0, &value};
            FUZZ_CHECK(CheckTransferRecord(channel.inst, transfer, TransferUse::Write) == 0);
            const bool bitOverElements = transfer.bitNumber != ORV_NO_BIT && transfer.count > 1;
            FUZZ_CHECK((CheckTransferRecord(channel.inst, transfer, TransferUse::Read) == 0) == !bitOverElements);
        }
    }
    delete[] text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    QuietLog();
    test::VirtualPlatform platform;
    HostChannel channel(kFuzzChannel);
    FUZZ_CHECK(ColdStartWithRegions(channel, 0, 100) == 0);
    FUZZ_CHECK(RegionOf(channel.inst, 'D').multiple == 2 && RegionOf(channel.inst, 'W').elementBits == 32);

    // Records: op bit, gate type, count, text length, text; the last record
    // takes all that is left as its text.
    Reader in(data, size);
    for (int record = 0; record < 8 && !in.empty(); ++record) {
        const std::uint8_t head = in.u8();
        const int op = (head & 1) != 0 ? ORV_OP_PARSE_BLOCK_ADDRESS : ORV_OP_PARSE_SINGLE_ADDRESS;
        const std::int32_t gateType = GateType(in);
        const std::int32_t count = Count(in);
        const std::uint8_t length = in.u8();
        const std::vector<std::uint8_t> text = (head & 2) != 0 ? in.rest() : in.bytes(length);
        ParseOne(channel, op, gateType, count, text);
    }
    // Without a card the connect attempts fail at once in the link layer.
    FUZZ_CHECK(platform.systemCalls() == 0 && platform.sleptMs == 0);
    FUZZ_CHECK(channel.inst.device == kInvalidDevice && channel.inst.window == nullptr);
    return 0;
}
