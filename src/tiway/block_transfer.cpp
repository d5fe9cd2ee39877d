#include "tiway/block_transfer.h"

#include <cstring>

#include "channel/instance.h"
#include "channel/logging.h"
#include "channel/status.h"
#include "link/big_endian.h"
#include "link/mailbox.h"
#include "tiway/messages.h"
#include "tiway/primitives.h"
#include "tiway/secondaries.h"
#include "tiway/transfer_guard.h"

namespace orvtiw {
namespace {

TransferRecord &RecordOf(CallRecord *call) {
    return *static_cast<TransferRecord *>(call->params);
}

// A reply whose length word covers fewer bytes than the values asked for
// would hand the host stale bytes of an earlier reply as fresh values.
bool ReplyHoldsReadData(const Instance &inst, const TransferRecord &record) {
    std::uint16_t length = 0;
    GetBE16(inst.reply, &length);
    const int held = length + 2 - kReadDataOffset;
    const int expected = ReadDataBytes(record);
    if (held >= expected) {
        return true;
    }
    ORV_LOG(kLogError, msg::kReplyTooShort, static_cast<int>(inst.channel), held < 0 ? 0 : held, expected);
    return false;
}

// Runs a single-gate operation: no card refuses silently; otherwise one
// value, whose 8- or 16-bit form lies two bytes into the host's area.
int GateOperation(CallRecord *call, int (*blockOperation)(CallRecord *), TransferUse use) {
    Instance &inst = *InstanceOf(call);
    TransferRecord &record = RecordOf(call);
    if (inst.online == 0) {
        return kStatusRefused;
    }
    TransferRecord single = record;
    single.count = 1;
    if (CheckTransferRecord(inst, single, use) != kStatusOk) {
        return kStatusRefused;
    }
    record.count = 1;
    if (record.width <= 16) {
        record.data = static_cast<std::uint8_t *>(record.data) + 2;
    }
    return blockOperation(call);
}

// Writes the record's values as they stand, with the write attempts.
Status WriteValues(Instance &inst, const TransferRecord &record) {
    BuildPrimitive(inst, record, kBuildWrite);
    Status status = kStatusCommFailure;
    for (int attempt = 0; attempt < kTransferAttempts && status != kStatusOk; ++attempt) {
        status = Transact(inst) != kExchangeOk ? kStatusCommFailure : CheckReply(inst);
    }
    return status;
}

} // namespace

int ReadGate(CallRecord *call) {
    return GateOperation(call, ReadBlock, TransferUse::Read);
}

int WriteGate(CallRecord *call) {
    return GateOperation(call, WriteBlock, TransferUse::Write);
}

int ReadBlock(CallRecord *call) {
    Instance &inst = *InstanceOf(call);
    TransferRecord &record = RecordOf(call);
    if (CheckTransferRecord(inst, record, TransferUse::Read) != kStatusOk) {
        return kStatusRefused;
    }
    const int channel = static_cast<int>(inst.channel);
    BuildPrimitive(inst, record, kBuildRead);
    Status status = kStatusCommFailure;
    for (int attempt = 0; attempt < kTransferAttempts; ++attempt) {
        if (Transact(inst) != kExchangeOk) {
            status = kStatusCommFailure;
            continue;
        }
        if (CheckReply(inst) == kStatusOk) {
            if (!ReplyHoldsReadData(inst, record)) {
                status = kStatusCommFailure; // counted as a failed exchange
                continue;
            }
            status = kStatusOk;
            break;
        }
        // The secondary answered with an error: connect it again, and read
        // anew with the attempts that are left.
        if (ConnectSecondary(inst, static_cast<std::uint8_t>(record.plcAddress)) != kConnected) {
            ORV_LOG(kLogError, msg::kReconnectFailed, channel, static_cast<unsigned>(record.plcAddress));
            return kStatusCommFailure;
        }
        ORV_LOG(kLogError, msg::kReconnectSucceeded, channel, static_cast<unsigned>(record.plcAddress));
        BuildPrimitive(inst, record, kBuildRead);
        status = kStatusCommFailure;
    }
    if (status != kStatusOk) {
        return status;
    }
    UnpackReadData(inst, record);
    return kStatusOk;
}

int WriteBlock(CallRecord *call) {
    Instance &inst = *InstanceOf(call);
    TransferRecord &record = RecordOf(call);
    if (CheckTransferRecord(inst, record, TransferUse::Write) != kStatusOk) {
        return kStatusRefused;
    }
    const RegionDef region = RegionOf(inst, record.regionId & 0xFF);
    if (record.bitNumber == ORV_NO_BIT || region.elementBits != 16) {
        return WriteValues(inst, record);
    }
    // A bit of a word: read the word into the driver's own, change the bit,
    // write the word back.
    void *const hostData = record.data;
    std::uint16_t value;
    std::memcpy(&value, hostData, sizeof value);
    const std::uint16_t mask = static_cast<std::uint16_t>(1u << record.bitNumber);
    std::uint16_t word = 0;
    record.data = &word;
    record.bitNumber = ORV_NO_BIT;
    // Only the first element: the driver's word holds one.
    record.count = 1;
    int status = ReadBlock(call);
    if (status == kStatusOk) {
        word = value != 0 ? static_cast<std::uint16_t>(word | mask) : static_cast<std::uint16_t>(word & ~mask);
        status = WriteValues(inst, record);
    }
    // The word lives on this call's stack: the host's record must never be
    // left pointing at it.
    record.data = hostData;
    return status;
}

} // namespace orvtiw
