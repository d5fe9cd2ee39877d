/*
 * The host application's view of the TIWAY host adapter driver module.
 *
 * The host loads the module, calls OrvMain with a CallRecord for every
 * request, and owns every record below as well as the per-channel Instance
 * memory whose size operation 14 reports. All fields are little-endian and
 * 32 bits wide; on a 32-bit target the offsets are the fixed ones noted on
 * each field, on a 64-bit target pointers take 8 bytes and the records take
 * their natural layout.
 */
#ifndef ORVTIW_HOST_ABI_H
#define ORVTIW_HOST_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define ORVTIW_CALL __cdecl
#else
#define ORVTIW_CALL
#endif

/* Operation codes of CallRecord.op. Codes 8 and 9 have no handler. */
enum OrvOperation {
    ORV_OP_COLD_START = 1,
    ORV_OP_WARM_START = 2,
    ORV_OP_PARSE_SINGLE_ADDRESS = 3,
    ORV_OP_PARSE_BLOCK_ADDRESS = 4,
    ORV_OP_READ_GATE = 5,
    ORV_OP_READ_BLOCK = 6,
    ORV_OP_WRITE_GATE = 7,
    ORV_OP_WRITE_BLOCK = 10,
    ORV_OP_STOP = 11,
    ORV_OP_CLOSE_COM = 12,
    ORV_OP_REOPEN_COM = 13,
    ORV_OP_GET_DRIVER_INFO = 14,
    ORV_OP_SET_TIMEOUT = 15
};

/* Statuses returned by OrvMain. */
enum OrvStatus {
    ORV_STATUS_OK = 0,
    ORV_STATUS_REFUSED = 1,
    ORV_STATUS_COMM_FAILURE = 2
};

/* Gate type codes of AddressRecord.gateType. */
enum OrvGateType {
    ORV_GATE_INT16 = 0,
    ORV_GATE_UINT16 = 1,
    ORV_GATE_OTHER = 2,
    ORV_GATE_INT32 = 3,
    ORV_GATE_UINT32 = 4,
    ORV_GATE_FLOAT = 5,
    ORV_GATE_DIGITAL = 6,
    ORV_GATE_STRING = 7
};

/* The bit number of a gate without a bit. */
#define ORV_NO_BIT 255

typedef struct CallRecord {
    void *instance;     /* 0: the channel's Instance memory */
    int32_t op;         /* 4: operation code */
    int32_t channel;    /* 8: channel number */
    int32_t reserved12; /* 12: not read by the driver */
    void *params;       /* 16: the operation's parameter record */
} CallRecord;

typedef struct InfoRecord {
    int32_t hostConstant0;  /* 0: 70 */
    const char *driverName; /* 4: "TW TIWAY Host Adapter" */
    const char *banner;     /* 8: display banner, code page 437 */
    int32_t instanceSize;   /* 12: bytes to allocate per channel */
    int32_t hostConstant16; /* 16: 1 */
    int32_t reserved20;     /* 20: not written */
    int32_t reserved24;     /* 24: not written */
    int32_t hostConstant28; /* 28: 3 */
} InfoRecord;

typedef struct TimeoutRecord {
    int32_t reserved0;
    int32_t reserved4;
    int32_t reserved8;
    int32_t timeout; /* 12: new reply time-out in units of 10 ms */
} TimeoutRecord;

typedef struct StartRecord {
    int32_t reserved0;
    int32_t reserved4;
    int32_t reserved8;
    int32_t online;  /* 12: nonzero when the channel drives a card */
    int32_t timeout; /* 16: reply time-out in units of 10 ms */
} StartRecord;

typedef struct WarmStartRecord {
    int32_t address; /* 0: secondary address 0..31 */
} WarmStartRecord;

typedef struct AddressRecord {
    const char *text;      /* 0: gate address text, NUL-terminated */
    int32_t reserved4;     /* 4: not read */
    int32_t gateType;      /* 8: OrvGateType */
    int32_t count;         /* 12: elements of a block (operation 4) */
    int32_t plcAddress;    /* 16: out: secondary 1..31 */
    int32_t regionId;      /* 20: out: letter, bit 8 = odd element of a double region */
    int32_t elementNumber; /* 24: out: element, halved in a double region */
    int32_t bitNumber;     /* 28: out: 0..15, or 255 for none */
    int32_t width;         /* 32: out: 8, 16 or 32 */
} AddressRecord;

typedef struct TransferRecord {
    int32_t reserved0;
    int32_t reserved4;
    int32_t plcAddress;    /* 8 */
    int32_t regionId;      /* 12 */
    int32_t elementNumber; /* 16 */
    int32_t bitNumber;     /* 20 */
    int32_t width;         /* 24 */
    int32_t reserved28;
    int32_t count;      /* 32 */
    int32_t reserved36;
    void *data; /* 40: the host's value buffer */
} TransferRecord;

/* The module's only export. */
#if defined(_WIN32) && defined(ORVTIW_BUILDING_MODULE)
__declspec(dllexport)
#elif defined(ORVTIW_BUILDING_MODULE)
__attribute__((visibility("default")))
#endif
int32_t ORVTIW_CALL OrvMain(CallRecord *call);

typedef int32_t(ORVTIW_CALL *OrvMainFunction)(CallRecord *call);

#ifdef __cplusplus
}
#endif

#endif /* ORVTIW_HOST_ABI_H */
