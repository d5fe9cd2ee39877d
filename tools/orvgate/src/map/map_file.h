// The map file: which channels the gateway starts and which Modbus ranges
// stand for which gates. One statement per line, '#' starts a comment,
// numbers are decimal or 0x hexadecimal (as in tiwaysim's network
// description):
//
//   channel 1 plant01.int                 a channel and its initialisation file
//   holding 1 0 01V0001 16 int16 rw       TABLE UNIT ADDRESS GATE COUNT TYPE [ORDER] [rw]
//   input 1 100 01D0101 4 float high-first
//   coils 1 0 01V00640 8 bits rw          bits 0..7 of V100
//   discrete 1 0 01X0001 64 points
//   holding 1 200 01V00C8 1 int16 rw deadband 5 "Tank 1 level"   a name and a deadband for MQTT
//   mqtt 01V0190 2 uint16 "Pump runs"     a range for MQTT alone, without a Modbus address
//   device 1 line1-filler                 the MQTT device id of secondary 1 of the channel
//
// Ranges and device lines belong to the channel line above them. Reading
// stops at the first error, which names its line.
#pragma once

#include <istream>
#include <optional>
#include <string>

#include "map/gate_map.h"

namespace orvgate {

// Largest channel number a map may start, as the host program allows.
inline constexpr std::int32_t kMaxChannel = 999;

std::optional<MapFile> ReadMapFile(std::istream &in, std::string &error);

} // namespace orvgate
