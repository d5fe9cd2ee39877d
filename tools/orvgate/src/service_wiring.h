// What the program hands the service monitor (service/service_monitor.h):
// the heartbeats it watches, named for the log and STATUS=, and what the
// gateway serves, which its status begins with.
#pragma once

#include <string>
#include <vector>

#include "common/heartbeat.h"
#include "gate_options.h"
#include "modbus/modbus_server.h"
#include "scan/gateway.h"
#include "service/service_monitor.h"

namespace orvgate {

// Every card thread's, the Modbus server's (if it serves) and the edge node's (if it runs).
std::vector<service::ServiceMonitor::Part> ServiceParts(const Gateway &core, const ModbusServer *server,
                                                        const Heartbeat *edge);
// "serving Modbus TCP on 127.0.0.1:1502 and MQTT at 127.0.0.1:1883"
std::string ServingText(const Options &o);

} // namespace orvgate
