// Sparkplug B payloads: the ones the edge node sends (births, data, deaths),
// built from the gateway's values, and the commands it receives, decoded
// into plain records whatever bytes arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mqtt/edge_source.h"

namespace orvgate::mqtt {

// One payload under construction. The generated protobuf classes stay in
// payload.cpp, so nothing else depends on them.
class PayloadBuilder {
  public:
    // `seq` is left out of a death certificate only. `uint32InLong`: UInt32
    // values go in long_value, for hosts that read them there.
    PayloadBuilder(std::uint64_t timestampMs, std::optional<std::uint8_t> seq, bool uint32InLong = false);
    ~PayloadBuilder();
    PayloadBuilder(const PayloadBuilder &) = delete;
    PayloadBuilder &operator=(const PayloadBuilder &) = delete;

    // A value of the map. Births name the metric, data messages give the
    // alias alone; both give the datatype, which decoders need to read the
    // value. A point that is not Good is sent as null.
    void AddPoint(const MetricDef &def, std::uint64_t alias, bool withName, const PointValue &value,
                  bool historical = false);
    // One of the node's own metrics; no alias leaves it to be named.
    void AddNode(const NodeMetric &metric, std::optional<std::uint64_t> alias, bool withName,
                 std::uint64_t timestampMs);
    void AddBoolean(const std::string &name, bool value, std::uint64_t timestampMs);
    void AddInt64(const std::string &name, std::int64_t value, std::uint64_t timestampMs);

    std::size_t MetricCount() const;
    std::string Serialize() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    bool uint32InLong_ = false;
};

// The NDEATH (also the Will): only the bdSeq metric, no seq.
std::string DeathPayload(std::uint8_t bdSeq, std::uint64_t timestampMs);

// One metric of a received NCMD or DCMD.
struct CommandMetric {
    enum class Field { None, Int, Long, Float, Double, Boolean, String, Other };
    std::optional<std::uint64_t> alias;
    std::optional<std::string> name;
    std::optional<std::uint32_t> datatype;
    bool isNull = false;
    Field field = Field::None; // which member of the value it carries
    std::uint64_t integer = 0; // Int (32 bits), Long, Boolean (0 or 1)
    float real32 = 0;
    double real64 = 0;
};

// What a command message may hold at most: more is refused whole.
inline constexpr std::size_t kMaxCommandBytes = 65536;
inline constexpr std::size_t kMaxCommandMetrics = 256;
inline constexpr std::size_t kMaxMetricNameBytes = 256;

// Decodes a command payload, and its timestamp into `timestampMs` when
// given (nothing when the payload has none). False, with the reason, for
// bytes that are not a payload or exceed the bounds above.
bool DecodeCommand(const std::uint8_t *data, std::size_t size, std::vector<CommandMetric> &out, std::string &error,
                   std::optional<std::uint64_t> *timestampMs = nullptr);

} // namespace orvgate::mqtt
