// The bytes of the read-block and write-block requests, the judgement of a
// reply, and the unpacking of read data into the host's value buffer.
#pragma once

#include "channel/instance.h"
#include "channel/status.h"

namespace orvtiw {

// The largest block in data bytes: with it every request and every read
// reply stays inside the 512-byte buffers.
inline constexpr int kMaxBlockBytes = 256;

inline constexpr int kBuildRead = 1;
inline constexpr int kBuildWrite = 2;

inline constexpr std::uint8_t kMhiuSendPrimitive = 0x01;
inline constexpr std::uint8_t kMhiuConnect = 0x04;
inline constexpr std::uint8_t kMhiuAdapterQuery = 0x00;
inline constexpr std::uint8_t kQueryConnectedSecondaries = 0x06;
inline constexpr std::uint8_t kPrimitiveReadBlock = 0x20;
inline constexpr std::uint8_t kPrimitiveWriteBlock = 0x30;

inline constexpr int kReplyKindMhiuError = 0;
inline constexpr int kReplyKindPrimitive = 1;

// Offset of the first element value in a read-block reply (reply buffer
// offsets, the length word included).
inline constexpr int kReadDataOffset = 8;
// Offset of the first element value in a write-block request.
inline constexpr int kWriteDataOffset = 8;

// Builds a read (kind 1) or write (kind 2) request from the record into
// inst.request / inst.requestLength. Always 0.
int BuildPrimitive(Instance &inst, const TransferRecord &record, int kind);

// 0 when the reply reports no error; 2 after logging an MHIU or primitive
// error.
Status CheckReply(const Instance &inst);

// Moves the read data of the reply into the host's buffer. Always 0.
int UnpackReadData(const Instance &inst, const TransferRecord &record);

// How many reply bytes UnpackReadData reads for this record.
int ReadDataBytes(const TransferRecord &record);

} // namespace orvtiw
