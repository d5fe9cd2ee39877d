#include "service_wiring.h"

namespace orvgate {

std::vector<service::ServiceMonitor::Part> ServiceParts(const Gateway &core, const ModbusServer *server,
                                                        const Heartbeat *edge) {
    std::vector<service::ServiceMonitor::Part> parts;
    for (const auto &[channel, beat] : core.Progress()) {
        parts.emplace_back("the card thread of channel " + std::to_string(channel), beat);
    }
    if (server != nullptr) {
        parts.emplace_back("the Modbus server", &server->Progress());
    }
    if (edge != nullptr) {
        parts.emplace_back("the MQTT edge node", edge);
    }
    return parts;
}

std::string ServingText(const Options &o) {
    std::string text = "serving";
    if (o.modbus) {
        text += " Modbus TCP on " + o.listenHost + ":" + o.listenPort;
    }
    if (o.mqtt) {
        text += std::string(o.modbus ? " and" : "") + " MQTT at " + o.mqttHost + ":" + std::to_string(o.mqttPort);
    }
    return text;
}

} // namespace orvgate
