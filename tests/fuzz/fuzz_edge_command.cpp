// Any bytes as a command from the broker to the edge node: the first byte
// picks the topic (the node's NCMD, a DCMD of one of its two devices, or
// of a device it does not have), the rest is the payload. The session
// decodes it and checks each metric, down to the writes it hands the core.
//
// A write goes only to a writable metric of the device the topic names,
// with a value its type holds; every metric the payload carries is
// written, rejected or refused, never lost; an applied write is confirmed
// by a DDATA of that metric's alias alone.
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "mqtt/commands.h"
#include "mqtt/edge_session.h"
#include "mqtt/payload.h"
#include "sparkplug_b.pb.h"
#include "unit/orvgate/mqtt/edge_fakes.h"

using namespace orvgate::mqtt;

namespace {

EdgeModel Model() {
    EdgeModel model;
    DeviceDef a;
    a.id = "plc1";
    a.channel = 1;
    a.metrics = {{"V1", Datatype::Int16, true, 0, 2, 0},
                 {"V2", Datatype::UInt16, true, 0, 3, 1},
                 {"D7", Datatype::Float, true, 0, 4, 2},
                 {"Run", Datatype::Boolean, true, 0, 5, 3},
                 {"K1", Datatype::Int32, false, 0, 6, 4}};
    DeviceDef b;
    b.id = "plc2";
    b.channel = 2;
    b.metrics = {{"W2", Datatype::UInt32, true, 0, 8, 5}, {"W3", Datatype::Int32, true, 0, 9, 6}};
    model.devices = {a, b};
    return model;
}

bool Fits(Datatype type, std::uint32_t raw) {
    switch (type) {
    case Datatype::Int16:
    case Datatype::UInt16:
        return raw <= 0xFFFFu;
    case Datatype::Boolean:
        return raw <= 1u;
    case Datatype::Float:
        return std::isfinite(std::bit_cast<float>(raw));
    default:
        return true;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    static const char *const topics[] = {"spBv1.0/G/NCMD/E", "spBv1.0/G/DCMD/E/plc1", "spBv1.0/G/DCMD/E/plc2",
                                         "spBv1.0/G/DCMD/E/plc3"};
    const std::size_t which = data[0] % 4;
    const std::size_t device = which - 1;
    orvgate::mqtt::test::FakeClock clock;
    orvgate::mqtt::test::FakeSource source(Model());
    orvgate::mqtt::test::FakeTransport transport;
    EdgeSettings settings;
    settings.groupId = "G";
    settings.edgeNodeId = "E";
    std::vector<std::pair<std::uint64_t, WriteOutcome>> posted;
    EdgeSession session(Resolved(settings), source, transport, clock, {},
                        [&posted](std::uint64_t token, const WriteOutcome &o) { posted.emplace_back(token, o); });
    session.Start();
    transport.Accept();
    FUZZ_CHECK(session.phase() == EdgeSession::Phase::Online);
    const std::size_t births = transport.published.size();

    transport.events->OnMessage(topics[which], data + 1, size - 1);

    std::vector<CommandMetric> decoded;
    std::string error;
    const bool parsed = DecodeCommand(data + 1, size - 1, decoded, error);
    const EdgeCounters &c = session.Counters();
    if (which == 0 || which == 3 || !parsed) {
        FUZZ_CHECK(source.writes.empty());
    }
    std::uint64_t expected = 1;
    if (parsed && which == 0) {
        expected = 0;
        for (const CommandMetric &m : decoded) {
            expected += IsRebirthRequest(m) ? 0u : 1u;
        }
    } else if (parsed && which == 3) {
        expected = std::max<std::uint64_t>(decoded.size(), 1);
    } else if (parsed) {
        expected = decoded.size();
    }
    FUZZ_CHECK(source.writes.size() + c.commandsRejected + c.commandsRefused == expected);
    if (which != 0) {
        FUZZ_CHECK(transport.published.size() == births);
    }
    for (const auto &w : source.writes) {
        const DeviceDef &def = source.model.devices.at(device);
        const MetricDef *target = nullptr;
        for (const MetricDef &m : def.metrics) {
            target = m.point == w.point ? &m : target;
        }
        FUZZ_CHECK(target != nullptr && target->writable && Fits(target->type, w.raw));
        WriteOutcome applied;
        applied.result = WriteOutcome::Result::Applied;
        applied.readBackGood = true;
        applied.readBack = w.raw;
        w.done(applied);
    }
    const std::size_t before = transport.published.size();
    for (const auto &[token, outcome] : posted) {
        session.WriteDone(token, outcome);
    }
    FUZZ_CHECK(transport.published.size() == before + source.writes.size());
    for (std::size_t i = before; i < transport.published.size(); ++i) {
        orvgate::sparkplug::Payload p;
        FUZZ_CHECK(p.ParseFromString(transport.published[i].payload));
        FUZZ_CHECK(p.metrics_size() == 1 && !p.metrics(0).has_name() && p.metrics(0).has_alias());
    }
    FUZZ_CHECK(c.commandsApplied == source.writes.size());
    return 0;
}
