// Why the broker connection ended, in words, from the code the MQTT client
// library reports with the loss (its own error numbers).
#pragma once

#include <string>

namespace orvgate::mqtt {

inline std::string DisconnectWords(int code) {
    const char *words = nullptr;
    switch (code) {
    case 0:
        words = "closed on purpose";
        break;
    case 2:
    case 21:
        words = "the broker broke the protocol";
        break;
    case 4:
    case 7:
        words = "the network connection was lost";
        break;
    case 5:
        words = "the broker refused the connection";
        break;
    case 8:
    case 23:
        words = "the TLS session failed";
        break;
    case 11:
    case 12:
        words = "not authorised by the broker";
        break;
    case 14:
        words = "a socket error";
        break;
    case 19:
        words = "the broker did not answer within the keep-alive";
        break;
    case 25:
        words = "a message too large for the broker";
        break;
    case 30:
        words = "an administrator disconnected it";
        break;
    default:
        words = "an error of the MQTT client";
        break;
    }
    return std::string(words) + " (" + std::to_string(code) + ")";
}

} // namespace orvgate::mqtt
