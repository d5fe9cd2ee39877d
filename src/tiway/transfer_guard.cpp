#include "tiway/transfer_guard.h"

#include "channel/logging.h"
#include "channel/status.h"
#include "tiway/messages.h"
#include "tiway/primitives.h"

namespace orvtiw {
namespace {

// The width in the host's buffer that the region's elements take.
int WidthOfRegion(const RegionDef &region) {
    if (region.elementBits == 16 && region.multiple == 2) {
        return 32;
    }
    return region.elementBits;
}

// A bit belongs to a word of a single 16-bit region, or is the 0 of a single
// discrete point; anywhere else it would widen the bit write.
bool BitFitsRegion(const RegionDef &region, std::int32_t bit) {
    if (bit == ORV_NO_BIT) {
        return true;
    }
    if (region.elementBits == 8) {
        return bit == 0;
    }
    return region.elementBits == 16 && region.multiple == 1 && bit >= 0 && bit <= 15;
}

} // namespace

Status CheckTransferRecord(const Instance &inst, const TransferRecord &record, TransferUse use) {
    const int channel = static_cast<int>(inst.channel);
    if (record.plcAddress < 1 || record.plcAddress >= kSecondaryCount) {
        ORV_LOG(kLogConfig, msg::kTransferBadSecondary, channel, static_cast<int>(record.plcAddress));
        return kStatusRefused;
    }
    const int letter = record.regionId & 0xFF;
    if ((record.regionId & ~0x1FF) != 0 || !IsRegionLetter(letter) || inst.regions[letter - 'A'].multiple == 0 ||
        ((record.regionId & 0x100) != 0 && inst.regions[letter - 'A'].multiple != 2)) {
        ORV_LOG(kLogConfig, msg::kTransferBadRegion, channel, static_cast<unsigned>(record.regionId));
        return kStatusRefused;
    }
    const RegionDef &region = inst.regions[letter - 'A'];
    if (record.width != WidthOfRegion(region)) {
        ORV_LOG(kLogConfig, msg::kTransferBadWidth, channel, static_cast<int>(record.width), letter);
        return kStatusRefused;
    }
    if (!BitFitsRegion(region, record.bitNumber)) {
        ORV_LOG(kLogConfig, msg::kTransferBadBit, channel, static_cast<int>(record.bitNumber));
        return kStatusRefused;
    }
    // A read of one bit or one point fills one host value; with a larger
    // count the other slots would keep stale bytes that read as good values.
    if (use == TransferUse::Read && record.bitNumber != ORV_NO_BIT && record.count > 1) {
        ORV_LOG(kLogConfig, msg::kTransferBitBlock, channel, static_cast<int>(record.bitNumber),
                static_cast<int>(record.count));
        return kStatusRefused;
    }
    // Element numbers travel as 16 bits: a larger one would silently name
    // another element, and its value would be reported as this one's.
    const std::int64_t firstElement = region.multiple == 2
                                          ? 2 * static_cast<std::int64_t>(record.elementNumber) +
                                                ((record.regionId & 0x100) != 0 ? 1 : 0)
                                          : record.elementNumber;
    if (firstElement < 0 || firstElement > 0xFFFF) {
        ORV_LOG(kLogConfig, msg::kTransferBadElement, channel, static_cast<int>(record.elementNumber));
        return kStatusRefused;
    }
    const std::int64_t bytes = static_cast<std::int64_t>(record.width / 8) * record.count;
    if (record.count < 0 || bytes > kMaxBlockBytes) {
        ORV_LOG(kLogConfig, msg::kTransferBlockTooBig, channel);
        return kStatusRefused;
    }
    if (record.data == nullptr) {
        ORV_LOG(kLogConfig, msg::kTransferNoBuffer, channel);
        return kStatusRefused;
    }
    return kStatusOk;
}

} // namespace orvtiw
