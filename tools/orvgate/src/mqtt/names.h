// Sparkplug B names: the topics the edge node publishes and subscribes to,
// the checks that group, edge node, device ids and metric names must pass
// before any of them reaches a topic or a birth, and the metrics' aliases.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mqtt/edge_source.h"

namespace orvgate::mqtt {

inline constexpr char kNamespace[] = "spBv1.0";
// Ids travel in every topic, names in every birth: both are kept short.
inline constexpr std::size_t kMaxIdBytes = 128;
inline constexpr std::size_t kMaxNameBytes = 128;

enum class NodeMessage { NBIRTH, NDEATH, NDATA, NCMD };
enum class DeviceMessage { DBIRTH, DDEATH, DDATA, DCMD };

std::string NodeTopic(NodeMessage type, const std::string &group, const std::string &edge);
std::string DeviceTopic(DeviceMessage type, const std::string &group, const std::string &edge,
                        const std::string &device);
// The DCMD topics of every device of the node, for one subscription.
std::string DeviceCommandFilter(const std::string &group, const std::string &edge);
std::string HostStateTopic(const std::string &hostId);

// Why `text` cannot be a group, edge node or device id or a metric name
// (not empty, at most `maxBytes`, printable UTF-8, none of + / #), or an
// empty string when it can.
std::string NameProblem(std::string_view text, std::size_t maxBytes);

// Whether two names differ only in the case of their ASCII letters, which
// some hosts and historians fold together.
bool SameIgnoringCase(std::string_view a, std::string_view b);

// The model's device ids and metric names, checked as above, with no two
// devices and no two metrics of one device the same but for case, and
// each metric of a type the gateway can publish. The first problem is in
// `error`, as "line N: ...".
bool CheckModel(const EdgeModel &model, std::string &error);

// Aliases: each device metric has one, stable for the same map across
// restarts and rebirths (one more than its place among all the devices'
// metrics, in the model's order); the node's own metrics follow them.
class Aliases {
  public:
    explicit Aliases(const EdgeModel &model);
    std::uint64_t Of(std::size_t device, std::size_t metric) const {
        return first_[device] + metric;
    }
    std::uint64_t NodeAlias(std::size_t index) const {
        return total_ + 1 + index;
    }
    // The device metric an alias stands for, if it is one of `device`'s.
    bool Find(std::size_t device, std::uint64_t alias, std::size_t &metric) const;

  private:
    std::vector<std::uint64_t> first_;
    std::vector<std::size_t> counts_;
    std::uint64_t total_ = 0;
};

} // namespace orvgate::mqtt
