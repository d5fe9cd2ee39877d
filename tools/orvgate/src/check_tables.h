// What `orvgate --check` prints for a commissioning document: the Modbus
// register table of the map (unit, table, addresses, gate, type, writable)
// and, where the edge node is built, its MQTT metric list (device, metric,
// datatype, writable), as the running gateway would serve and publish them.
#pragma once

#include <string>
#include <vector>

#include "map/gate_map.h"
#include "mqtt/edge_source.h"
#include "scan/gateway.h"

namespace orvgate {

// One line per Modbus range, by unit, table and address.
std::string RegisterTable(const PointValues &values);
// One line per metric, device by device.
std::string MetricList(const mqtt::EdgeModel &model);

// Both, for a map the core started (`map` null: the transparent default,
// which has neither), on standard output; the metric list in a build with
// the edge node, from its own model of the map.
void PrintCheckTables(Gateway &core, const MapFile *map);

} // namespace orvgate
