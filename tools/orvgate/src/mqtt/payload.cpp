#include "mqtt/payload.h"

#include <bit>

#include "sparkplug_b.pb.h"

namespace orvgate::mqtt {

namespace pb = orvgate::sparkplug;

namespace {

// An 8- or 16-bit signed value travels as its 32 bits sign-extended, so that
// every decoder, reading int_value as an int32, gets -1 back for -1.
std::uint32_t SignExtended(std::uint32_t raw, int bits) {
    const std::uint32_t sign = 1u << (bits - 1);
    const std::uint32_t mask = (bits == 32) ? 0xFFFFFFFFu : ((1u << bits) - 1u);
    const std::uint32_t v = raw & mask;
    return (v & sign) != 0 ? (v | ~mask) : v;
}

void SetPointValue(pb::Payload::Metric &m, Datatype type, std::uint32_t raw, bool uint32InLong) {
    switch (type) {
    case Datatype::Int8:
        m.set_int_value(SignExtended(raw, 8));
        break;
    case Datatype::Int16:
        m.set_int_value(SignExtended(raw, 16));
        break;
    case Datatype::Int32:
        m.set_int_value(raw);
        break;
    case Datatype::UInt8:
        m.set_int_value(raw & 0xFFu);
        break;
    case Datatype::UInt16:
        m.set_int_value(raw & 0xFFFFu);
        break;
    // UInt32 is a protobuf uint32, so it travels in int_value; hosts built
    // on older libraries read it from long_value, and may ask for that.
    case Datatype::UInt32:
        if (uint32InLong) {
            m.set_long_value(raw);
        } else {
            m.set_int_value(raw);
        }
        break;
    case Datatype::UInt64:
        m.set_long_value(raw);
        break;
    case Datatype::Int64:
        m.set_long_value(static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(raw))));
        break;
    case Datatype::Float:
        m.set_float_value(std::bit_cast<float>(raw));
        break;
    case Datatype::Double:
        m.set_double_value(static_cast<double>(std::bit_cast<float>(raw)));
        break;
    case Datatype::Boolean:
        m.set_boolean_value(raw != 0);
        break;
    case Datatype::String:
        m.set_is_null(true);
        break;
    }
}

} // namespace

struct PayloadBuilder::Impl {
    pb::Payload payload;
};

PayloadBuilder::PayloadBuilder(std::uint64_t timestampMs, std::optional<std::uint8_t> seq, bool uint32InLong)
    : impl_(std::make_unique<Impl>()), uint32InLong_(uint32InLong) {
    impl_->payload.set_timestamp(timestampMs);
    if (seq) {
        impl_->payload.set_seq(*seq);
    }
}

PayloadBuilder::~PayloadBuilder() = default;

void PayloadBuilder::AddPoint(const MetricDef &def, std::uint64_t alias, bool withName, const PointValue &value,
                              bool historical) {
    pb::Payload::Metric *m = impl_->payload.add_metrics();
    if (withName) {
        m->set_name(def.name);
    }
    m->set_alias(alias);
    m->set_datatype(static_cast<std::uint32_t>(def.type));
    m->set_timestamp(value.timestampMs != 0 ? value.timestampMs : impl_->payload.timestamp());
    if (historical) {
        m->set_is_historical(true);
    }
    if (value.state != PointValue::State::Good) {
        m->set_is_null(true);
        return;
    }
    SetPointValue(*m, def.type, value.raw, uint32InLong_);
}

void PayloadBuilder::AddNode(const NodeMetric &metric, std::optional<std::uint64_t> alias, bool withName,
                             std::uint64_t timestampMs) {
    pb::Payload::Metric *m = impl_->payload.add_metrics();
    if (withName) {
        m->set_name(metric.name);
    }
    if (alias) {
        m->set_alias(*alias);
    }
    m->set_datatype(static_cast<std::uint32_t>(metric.type));
    m->set_timestamp(timestampMs);
    switch (metric.type) {
    case Datatype::Int64:
    case Datatype::UInt64:
        m->set_long_value(static_cast<std::uint64_t>(metric.integer));
        break;
    case Datatype::Double:
        m->set_double_value(metric.real);
        break;
    case Datatype::Boolean:
        m->set_boolean_value(metric.integer != 0);
        break;
    case Datatype::String:
        m->set_string_value(metric.text);
        break;
    default:
        SetPointValue(*m, metric.type, static_cast<std::uint32_t>(metric.integer), uint32InLong_);
        break;
    }
}

void PayloadBuilder::AddBoolean(const std::string &name, bool value, std::uint64_t timestampMs) {
    pb::Payload::Metric *m = impl_->payload.add_metrics();
    m->set_name(name);
    m->set_datatype(static_cast<std::uint32_t>(Datatype::Boolean));
    m->set_timestamp(timestampMs);
    m->set_boolean_value(value);
}

void PayloadBuilder::AddInt64(const std::string &name, std::int64_t value, std::uint64_t timestampMs) {
    pb::Payload::Metric *m = impl_->payload.add_metrics();
    m->set_name(name);
    m->set_datatype(static_cast<std::uint32_t>(Datatype::Int64));
    m->set_timestamp(timestampMs);
    m->set_long_value(static_cast<std::uint64_t>(value));
}

std::size_t PayloadBuilder::MetricCount() const {
    return static_cast<std::size_t>(impl_->payload.metrics_size());
}

std::string PayloadBuilder::Serialize() const {
    return impl_->payload.SerializeAsString();
}

std::string DeathPayload(std::uint8_t bdSeq, std::uint64_t timestampMs) {
    PayloadBuilder death(timestampMs, std::nullopt);
    death.AddInt64("bdSeq", bdSeq, timestampMs);
    return death.Serialize();
}

bool DecodeCommand(const std::uint8_t *data, std::size_t size, std::vector<CommandMetric> &out, std::string &error,
                   std::optional<std::uint64_t> *timestampMs) {
    out.clear();
    if (size > kMaxCommandBytes) {
        error = "payload of " + std::to_string(size) + " bytes, more than " + std::to_string(kMaxCommandBytes);
        return false;
    }
    pb::Payload payload;
    if (!payload.ParseFromArray(data, static_cast<int>(size))) {
        error = "not a Sparkplug B payload";
        return false;
    }
    if (static_cast<std::size_t>(payload.metrics_size()) > kMaxCommandMetrics) {
        error = std::to_string(payload.metrics_size()) + " metrics, more than " + std::to_string(kMaxCommandMetrics);
        return false;
    }
    if (timestampMs != nullptr) {
        *timestampMs = payload.has_timestamp() ? std::optional<std::uint64_t>(payload.timestamp()) : std::nullopt;
    }
    out.reserve(static_cast<std::size_t>(payload.metrics_size()));
    for (const pb::Payload::Metric &m : payload.metrics()) {
        CommandMetric c;
        if (m.has_alias()) {
            c.alias = m.alias();
        }
        if (m.has_name()) {
            if (m.name().size() > kMaxMetricNameBytes) {
                error = "a metric name of " + std::to_string(m.name().size()) + " bytes";
                out.clear();
                return false;
            }
            c.name = m.name();
        }
        if (m.has_datatype()) {
            c.datatype = m.datatype();
        }
        c.isNull = m.has_is_null() && m.is_null();
        switch (m.value_case()) {
        case pb::Payload::Metric::kIntValue:
            c.field = CommandMetric::Field::Int;
            c.integer = m.int_value();
            break;
        case pb::Payload::Metric::kLongValue:
            c.field = CommandMetric::Field::Long;
            c.integer = m.long_value();
            break;
        case pb::Payload::Metric::kFloatValue:
            c.field = CommandMetric::Field::Float;
            c.real32 = m.float_value();
            break;
        case pb::Payload::Metric::kDoubleValue:
            c.field = CommandMetric::Field::Double;
            c.real64 = m.double_value();
            break;
        case pb::Payload::Metric::kBooleanValue:
            c.field = CommandMetric::Field::Boolean;
            c.integer = m.boolean_value() ? 1 : 0;
            break;
        case pb::Payload::Metric::kStringValue:
            c.field = CommandMetric::Field::String;
            break;
        case pb::Payload::Metric::kBytesValue:
            c.field = CommandMetric::Field::Other;
            break;
        case pb::Payload::Metric::VALUE_NOT_SET:
            break;
        }
        out.push_back(std::move(c));
    }
    return true;
}

} // namespace orvgate::mqtt
