#include "scan/failure_words.h"

#include <cstdio>

namespace orvgate {

namespace {

using orvtiw::host::FailureKind;

// The host adapter's error codes, as its firmware reports them.
const char *MhiuMeaning(std::uint16_t code) {
    switch (code) {
    case 0x0101:
        return "the adapter does not know the command";
    case 0x0102:
        return "no such secondary on the network";
    case 0x0103:
        return "the secondary is not connected";
    case 0x0104:
        return "disconnected from the network";
    case 0x0105:
        return "the request's lengths do not add up";
    case 0x0106:
        return "the adapter refused its configuration";
    }
    return nullptr;
}

// The controller's own refusals of a primitive.
const char *PrimitiveMeaning(std::uint16_t code) {
    switch (code) {
    case 0x01:
        return "the controller does not know the data type";
    case 0x02:
        return "the element is beyond the controller's memory";
    case 0x03:
        return "the controller found the request malformed";
    case 0x04:
        return "the controller does not know the request";
    case 0x05:
        return "the block is too long for one reply";
    }
    return nullptr;
}

} // namespace

std::string FailureWords(const orvtiw::host::Failure &failure) {
    char code[32];
    if (failure.kind == FailureKind::SecondaryUnreachable && failure.code != 0) {
        const char *meaning = MhiuMeaning(failure.code);
        std::snprintf(code, sizeof code, " (MHIU 0x%04X)", failure.code);
        return std::string(meaning != nullptr ? meaning : "the secondary cannot be reached") + code;
    }
    if (failure.kind == FailureKind::ControllerRefusal && failure.code != 0) {
        const char *meaning = PrimitiveMeaning(failure.code);
        std::snprintf(code, sizeof code, " (error 0x%02X)", failure.code);
        return std::string(meaning != nullptr ? meaning : "the controller refused the request") + code;
    }
    return orvtiw::host::FailureMeaning(failure.kind);
}

} // namespace orvgate
