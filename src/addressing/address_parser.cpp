#include "addressing/address_parser.h"

#include <cstdint>
#include <cstring>

#include "addressing/messages.h"
#include "addressing/text_scan.h"
#include "channel/instance.h"
#include "channel/logging.h"
#include "channel/status.h"
#include "tiway/primitives.h"
#include "tiway/secondaries.h"

namespace orvtiw {
namespace {

constexpr int kMinLength = 7;
constexpr int kMaxLength = 8;

bool IsUpperHexDigit(int c) {
    return IsDecimalDigit(c) || (c >= 'A' && c <= 'F');
}

// Each position has its own set: secondary "0"/"1" and a hex digit, the
// region letter, four hex digits of element, an optional hex bit digit.
bool AllowedAt(int position, int c) {
    switch (position) {
    case 0:
        return c == '0' || c == '1';
    case 2:
        return c >= 'A' && c <= 'Z';
    default:
        return IsUpperHexDigit(c);
    }
}

int HexField(const char *text, int length) {
    int value = 0;
    for (int i = 0; i < length; ++i) {
        value = value * 16 + HexValue(static_cast<unsigned char>(text[i]));
    }
    return value;
}

bool IsThirtyTwoBitGate(int gateType) {
    return gateType == ORV_GATE_INT32 || gateType == ORV_GATE_UINT32 || gateType == ORV_GATE_FLOAT;
}

// The rules of the region kinds; a failing rule logs its one message.
int ApplyRegionRules(Instance &inst, AddressRecord &rec, const RegionDef &region, bool hasBit) {
    const int channel = static_cast<int>(inst.channel);
    const bool block = inst.blockParse != 0;
    if (region.elementBits == 8) {
        if (!block && rec.gateType != ORV_GATE_DIGITAL) {
            ORV_LOG(kLogConfig, msg::kOnlyDigitalInDiscrete, channel);
            return kStatusRefused;
        }
        if (hasBit) {
            ORV_LOG(kLogConfig, msg::kNoBitInDiscrete, channel);
            return kStatusRefused;
        }
        rec.width = 8;
        if (!block) {
            rec.bitNumber = 0; // a single digital point
        }
        return kStatusOk;
    }
    if (region.elementBits == 16 && region.multiple == 1) {
        if (hasBit && rec.gateType != ORV_GATE_DIGITAL) {
            ORV_LOG(kLogConfig, msg::kDigitalWithBit, channel);
            return kStatusRefused;
        }
        if (!hasBit && rec.gateType != ORV_GATE_INT16 && rec.gateType != ORV_GATE_UINT16) {
            ORV_LOG(kLogConfig, msg::kSigned16WithoutBit, channel);
            return kStatusRefused;
        }
        rec.width = 16;
        return kStatusOk;
    }
    if (region.elementBits == 16) {
        if (hasBit) {
            ORV_LOG(kLogConfig, msg::kNoBitInDouble, channel);
            return kStatusRefused;
        }
        if (!block && !IsThirtyTwoBitGate(rec.gateType)) {
            ORV_LOG(kLogConfig, msg::kThirtyTwoInDouble, channel);
            return kStatusRefused;
        }
        // The halved element counts 32-bit values; the flag keeps the low bit.
        if ((rec.elementNumber & 1) != 0) {
            rec.regionId |= 0x100;
        }
        rec.elementNumber >>= 1;
        rec.width = 32;
        return kStatusOk;
    }
    if (hasBit) {
        ORV_LOG(kLogConfig, msg::kNoBitIn32, channel);
        return kStatusRefused;
    }
    if (!block && !IsThirtyTwoBitGate(rec.gateType)) {
        ORV_LOG(kLogConfig, msg::kFloatOr32In32, channel);
        return kStatusRefused;
    }
    rec.width = 32;
    return kStatusOk;
}

} // namespace

int SingleAddressParser(CallRecord *call) {
    Instance &inst = *InstanceOf(call);
    AddressRecord &rec = *static_cast<AddressRecord *>(call->params);
    const int callChannel = call->channel;
    const char *text = rec.text != nullptr ? rec.text : "";

    ORV_LOG(kLogConfig, msg::kParserEntered, callChannel);

    // The working copy belongs to this call, so parses on two channels can
    // never see each other's text.
    char copy[kMaxLength + 1] = {};
    const std::size_t length = strnlen(text, kMaxLength + 1);
    for (std::size_t i = 0; i < length && i < kMaxLength; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        copy[i] = static_cast<char>(c >= 'a' ? c - ('a' - 'A') : c);
    }
    bool wellFormed = length >= kMinLength && length <= kMaxLength;
    for (std::size_t i = 0; wellFormed && i < length; ++i) {
        wellFormed = AllowedAt(static_cast<int>(i), static_cast<unsigned char>(copy[i]));
    }
    if (!wellFormed) {
        ORV_LOG(kLogConfig, msg::kInvalidCharOrLength, callChannel);
        ORV_LOG(kLogConfig, msg::kAddressInvalid, callChannel, text);
        return kStatusRefused;
    }

    rec.plcAddress = 0;
    rec.width = 16;
    rec.bitNumber = ORV_NO_BIT;

    if (rec.gateType == ORV_GATE_STRING) {
        ORV_LOG(kLogConfig, msg::kStringGates, callChannel);
        return kStatusRefused;
    }

    rec.plcAddress = HexField(copy, 2);
    if (rec.plcAddress < 1 || rec.plcAddress >= kSecondaryCount) {
        ORV_LOG(kLogConfig, msg::kIllegalPlcAddress, callChannel);
        ORV_LOG(kLogConfig, msg::kAddressInvalid, callChannel, text);
        return kStatusRefused;
    }

    const int letter = static_cast<unsigned char>(copy[2]);
    rec.regionId = letter;
    const RegionDef region = RegionOf(inst, letter);
    if (region.multiple == 0) {
        ORV_LOG(kLogConfig, msg::kInvalidDataRegion, static_cast<int>(inst.channel), letter);
        return kStatusRefused;
    }

    rec.elementNumber = HexField(copy + 3, 4);
    if (rec.elementNumber == 0) {
        ORV_LOG(kLogConfig, msg::kElementZero, callChannel);
        ORV_LOG(kLogConfig, msg::kAddressInvalid, callChannel, text);
        return kStatusRefused;
    }

    const bool hasBit = length == kMaxLength;
    if (hasBit) {
        rec.bitNumber = HexValue(static_cast<unsigned char>(copy[7]));
    }

    if (ApplyRegionRules(inst, rec, region, hasBit) != kStatusOk) {
        return kStatusRefused;
    }

    if (inst.secondaryInUse[rec.plcAddress] == 0) {
        inst.secondaryInUse[rec.plcAddress] = 1;
        // A failed connection never refuses the address: the link and the
        // connect step log their own failures, and a later read reconnects.
        (void)ConnectSecondary(inst, static_cast<std::uint8_t>(rec.plcAddress));
    }
    return kStatusOk;
}

int BlockAddressParser(CallRecord *call) {
    Instance &inst = *InstanceOf(call);
    AddressRecord &rec = *static_cast<AddressRecord *>(call->params);
    inst.blockParse = 1;
    const int parsed = SingleAddressParser(call);
    inst.blockParse = 0;
    if (parsed != kStatusOk) {
        return parsed;
    }
    // Taken in 64 bits, so that a huge count cannot wrap to a small size.
    const std::int64_t bytes = static_cast<std::int64_t>(rec.width / 8) * rec.count;
    if (bytes > kMaxBlockBytes) {
        ORV_LOG(kLogConfig, msg::kBlockTooBig, static_cast<int>(inst.channel));
        return kStatusRefused;
    }
    return kStatusOk;
}

} // namespace orvtiw
