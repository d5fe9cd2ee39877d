// The exported entry of the shipped module.
#include "orvtiw/host_abi.h"

#include "host/operation_table.h"

extern "C" int32_t ORVTIW_CALL OrvMain(CallRecord *call) {
    return orvtiw::Dispatch(call);
}
