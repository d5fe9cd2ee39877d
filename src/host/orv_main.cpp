// The module's only entry: looks the operation up in the table of handlers
// and returns the handler's status unchanged.
#include "host/operation_table.h"

#include "addressing/address_parser.h"
#include "channel/status.h"
#include "host/channel_start.h"
#include "host/driver_info.h"
#include "host/link_operations.h"
#include "tiway/block_transfer.h"

namespace orvtiw {

const OperationTable kOperationTable = {
    nullptr,             // 0: no handler
    ColdStart,           // 1
    WarmStart,           // 2
    SingleAddressParser, // 3
    BlockAddressParser,  // 4
    ReadGate,            // 5
    ReadBlock,           // 6
    WriteGate,           // 7
    nullptr,             // 8: no handler
    nullptr,             // 9: no handler
    WriteBlock,          // 10
    Stop,          // 11
    CloseCom,      // 12
    ReopenCom,     // 13
    GetDriverInfo, // 14
    SetTimeout,    // 15
};

// Which operations read an Instance and which a parameter record, so that a
// null pointer from the host is refused instead of followed.
bool NeedsInstance(int op) {
    return op != ORV_OP_GET_DRIVER_INFO;
}

bool NeedsParams(int op) {
    return op != ORV_OP_STOP && op != ORV_OP_CLOSE_COM && op != ORV_OP_REOPEN_COM;
}

int Dispatch(CallRecord *call) {
    if (call == nullptr) {
        return kStatusCommFailure;
    }
    const int op = call->op;
    // An operation without a handler must never index outside the table.
    if (op < 0 || op >= kOperationCount || kOperationTable[op] == nullptr) {
        return kStatusCommFailure;
    }
    if ((NeedsInstance(op) && call->instance == nullptr) || (NeedsParams(op) && call->params == nullptr)) {
        return kStatusCommFailure;
    }
    return kOperationTable[op](call);
}

} // namespace orvtiw
