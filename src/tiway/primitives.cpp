#include "tiway/primitives.h"

#include <algorithm>
#include <cstring>

#include "channel/logging.h"
#include "channel/status.h"
#include "link/big_endian.h"
#include "tiway/messages.h"

namespace orvtiw {
namespace {

std::uint16_t HostWord(const std::uint8_t *data, int index) {
    std::uint16_t v;
    std::memcpy(&v, data + 2 * index, sizeof v);
    return v;
}

std::uint32_t HostLong(const std::uint8_t *data, int index) {
    std::uint32_t v;
    std::memcpy(&v, data + 4 * index, sizeof v);
    return v;
}

void SetHostWord(std::uint8_t *data, int index, std::uint16_t v) {
    std::memcpy(data + 2 * index, &v, sizeof v);
}

void SetHostLong(std::uint8_t *data, int index, std::uint32_t v) {
    std::memcpy(data + 4 * index, &v, sizeof v);
}

} // namespace

int BuildPrimitive(Instance &inst, const TransferRecord &record, int kind) {
    const RegionDef region = RegionOf(inst, record.regionId & 0xFF);
    std::memset(inst.request, 0, sizeof inst.request);
    inst.request[0] = kMhiuSendPrimitive;
    inst.request[1] = static_cast<std::uint8_t>(record.plcAddress);

    // Unsigned, so that no record can overflow the doubling; only the low
    // 16 bits travel anyway.
    std::int64_t n = record.count;
    std::uint32_t e = static_cast<std::uint32_t>(record.elementNumber);
    if (region.multiple == 2) {
        e = 2u * e + ((record.regionId & 0x100) != 0 ? 1u : 0u);
        n = 2 * n;
    }
    const std::int32_t bytesPerElement = region.elementBits / 8;

    if (kind == kBuildRead) {
        inst.requestLength = 10;
        PutBE16(6, inst.request + 2);
        inst.request[4] = kPrimitiveReadBlock;
        inst.request[5] = region.tt;
        PutBE16(static_cast<std::uint16_t>(n), inst.request + 6);
        PutBE16(static_cast<std::uint16_t>(e), inst.request + 8);
        return 0;
    }

    inst.request[4] = kPrimitiveWriteBlock;
    inst.request[5] = region.tt;
    PutBE16(static_cast<std::uint16_t>(e), inst.request + 6);
    // Never past the request buffer, whatever the record says; the callers
    // refuse such records before they get here.
    const std::int64_t room = (kRequestBufferSize - kWriteDataOffset) / std::max<std::int32_t>(bytesPerElement, 1);
    const int elements = static_cast<int>(std::clamp<std::int64_t>(n, 0, room));
    const auto *data = static_cast<const std::uint8_t *>(record.data);
    std::uint8_t *out = inst.request + kWriteDataOffset;
    if (region.elementBits == 8) {
        for (int i = 0; i < elements; ++i) {
            out[i] = data[2 * i];
        }
    } else if (region.elementBits == 16 && region.multiple != 2) {
        for (int i = 0; i < elements; ++i) {
            PutBE16(HostWord(data, i), out + 2 * i);
        }
    } else if (region.elementBits == 16) {
        for (int i = 0; i < elements / 2; ++i) {
            PutBE32(HostLong(data, i), out + 4 * i);
        }
    } else if (region.elementBits == 32) {
        for (int i = 0; i < elements; ++i) {
            PutBE32(HostLong(data, i), out + 4 * i);
        }
    }
    const auto dataBytes = static_cast<std::int32_t>(n * region.elementBits / 8);
    inst.requestLength = dataBytes + 8;
    PutBE16(static_cast<std::uint16_t>(dataBytes + 4), inst.request + 2);
    return 0;
}

Status CheckReply(const Instance &inst) {
    const int channel = static_cast<int>(inst.channel);
    const std::uint8_t kind = inst.reply[2];
    std::uint16_t code = 0;
    if (kind == kReplyKindMhiuError) {
        GetBE16(inst.reply + 3, &code);
        ORV_LOG(kLogError, msg::kMhiuError, channel, static_cast<unsigned>(code));
        return kStatusCommFailure;
    }
    if (kind == kReplyKindPrimitive && inst.reply[5] == 0) {
        GetBE16(inst.reply + 5, &code);
        ORV_LOG(kLogError, msg::kPrimitiveError, channel, static_cast<unsigned>(code));
        return kStatusCommFailure;
    }
    return kStatusOk;
}

int ReadDataBytes(const TransferRecord &record) {
    const std::int32_t count = std::max<std::int32_t>(record.count, 0);
    switch (record.width) {
    case 8:
        return record.bitNumber == ORV_NO_BIT ? count : 1;
    case 16:
        return record.bitNumber == ORV_NO_BIT ? 2 * count : 2;
    case 32:
        return 4 * count;
    default:
        return 0;
    }
}

int UnpackReadData(const Instance &inst, const TransferRecord &record) {
    const std::uint8_t *in = inst.reply + kReadDataOffset;
    auto *data = static_cast<std::uint8_t *>(record.data);
    // Never past the reply buffer, whatever the record says.
    const int room = kReplyBufferSize - kReadDataOffset;
    const int count = std::max<std::int32_t>(record.count, 0);
    switch (record.width) {
    case 8:
        if (record.bitNumber == ORV_NO_BIT) {
            std::memcpy(data, in, static_cast<std::size_t>(std::min(count, room)));
        } else {
            SetHostWord(data, 0, (in[0] & 1u) != 0 ? 1 : 0);
        }
        break;
    case 16:
        if (record.bitNumber == ORV_NO_BIT) {
            for (int i = 0; i < std::min(count, room / 2); ++i) {
                std::uint16_t v;
                GetBE16(in + 2 * i, &v);
                SetHostWord(data, i, v);
            }
        } else {
            std::uint16_t w;
            GetBE16(in, &w);
            const unsigned mask = 1u << (static_cast<unsigned>(record.bitNumber) & 15u);
            SetHostWord(data, 0, (w & mask) != 0 ? 1 : 0);
        }
        break;
    case 32:
        for (int i = 0; i < std::min(count, room / 4); ++i) {
            std::uint32_t v;
            GetBE32(in + 4 * i, &v);
            SetHostLong(data, i, v);
        }
        break;
    default:
        break;
    }
    return 0;
}

} // namespace orvtiw
