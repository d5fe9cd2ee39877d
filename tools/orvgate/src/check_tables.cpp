#include "check_tables.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <tuple>

#if defined(ORVGATE_HAVE_MQTT)
#include "mqtt/core_source.h"
#endif

namespace orvgate {
namespace {

const char *DatatypeName(mqtt::Datatype type) {
    switch (type) {
    case mqtt::Datatype::Int8:
        return "Int8";
    case mqtt::Datatype::Int16:
        return "Int16";
    case mqtt::Datatype::Int32:
        return "Int32";
    case mqtt::Datatype::Int64:
        return "Int64";
    case mqtt::Datatype::UInt8:
        return "UInt8";
    case mqtt::Datatype::UInt16:
        return "UInt16";
    case mqtt::Datatype::UInt32:
        return "UInt32";
    case mqtt::Datatype::UInt64:
        return "UInt64";
    case mqtt::Datatype::Float:
        return "Float";
    case mqtt::Datatype::Double:
        return "Double";
    case mqtt::Datatype::Boolean:
        return "Boolean";
    case mqtt::Datatype::String:
        break;
    }
    return "String";
}

std::string Line(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Line(const char *format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return line;
}

} // namespace

std::string RegisterTable(const PointValues &values) {
    std::vector<std::size_t> rows;
    const std::vector<CheckedRange> &ranges = values.Ranges();
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (ranges[i].range.modbus) {
            rows.push_back(i);
        }
    }
    std::stable_sort(rows.begin(), rows.end(), [&ranges](std::size_t a, std::size_t b) {
        const RangeLine &x = ranges[a].range;
        const RangeLine &y = ranges[b].range;
        return std::make_tuple(x.unit, static_cast<int>(x.table), x.address) <
               std::make_tuple(y.unit, static_cast<int>(y.table), y.address);
    });
    std::string out = "Modbus registers (addresses from 0, as on the wire; a value of int32, uint32 or float takes "
                      "two):\n";
    out += Line("  %-4s  %-8s  %-11s  %-9s  %6s  %-17s  %-2s  %s\n", "unit", "table", "addresses", "gate", "values",
                "type", "rw", "line");
    for (const std::size_t row : rows) {
        const RangeLine *r = &ranges[row].range;
        const std::string addresses =
            r->Slots() == 1 ? std::to_string(r->address)
                            : std::to_string(r->address) + "-" + std::to_string(r->address + r->Slots() - 1);
        std::string type = ValueKindName(r->kind);
        if (r->order != WordOrder::None) {
            type += std::string(" ") + WordOrderName(r->order);
        }
        out +=
            Line("  %-4d  %-8s  %-11s  %-9s  %6d  %-17s  %-2s  %d\n", r->unit, TableName(r->table), addresses.c_str(),
                 r->gate.c_str(), r->count, type.c_str(), values.Writable(row) ? "rw" : "r", r->line);
    }
    return out;
}

std::string MetricList(const mqtt::EdgeModel &model) {
    std::size_t metrics = 0;
    std::size_t widest = 6;
    std::size_t widestDevice = 6;
    for (const mqtt::DeviceDef &d : model.devices) {
        metrics += d.metrics.size();
        widestDevice = std::max(widestDevice, d.id.size());
        for (const mqtt::MetricDef &m : d.metrics) {
            widest = std::max(widest, m.name.size());
        }
    }
    std::string out = Line("MQTT metrics (Sparkplug B, %zu device%s, %zu metric%s):\n", model.devices.size(),
                           model.devices.size() == 1 ? "" : "s", metrics, metrics == 1 ? "" : "s");
    const int width = static_cast<int>(widest);
    const int deviceWidth = static_cast<int>(widestDevice);
    out += Line("  %-*s  %-*s  %-8s  %-2s  %s\n", deviceWidth, "device", width, "metric", "datatype", "rw", "line");
    for (const mqtt::DeviceDef &d : model.devices) {
        for (const mqtt::MetricDef &m : d.metrics) {
            out += Line("  %-*s  %-*s  %-8s  %-2s  %d\n", deviceWidth, d.id.c_str(), width, m.name.c_str(),
                        DatatypeName(m.type), m.writable ? "rw" : "r", m.line);
        }
    }
    return out;
}

void PrintCheckTables(Gateway &core, const MapFile *map) {
    if (map == nullptr) {
        return;
    }
    std::fputs(RegisterTable(core.Values()).c_str(), stdout);
#if defined(ORVGATE_HAVE_MQTT)
    const mqtt::CoreSource source(core, *map);
    std::fputs(MetricList(source.Model()).c_str(), stdout);
#endif
}

} // namespace orvgate
