#include "mqtt/names.h"

#include <algorithm>
#include <map>

namespace orvgate::mqtt {

namespace {

const char *NodeWord(NodeMessage type) {
    switch (type) {
    case NodeMessage::NBIRTH:
        return "NBIRTH";
    case NodeMessage::NDEATH:
        return "NDEATH";
    case NodeMessage::NDATA:
        return "NDATA";
    case NodeMessage::NCMD:
        return "NCMD";
    }
    return "";
}

const char *DeviceWord(DeviceMessage type) {
    switch (type) {
    case DeviceMessage::DBIRTH:
        return "DBIRTH";
    case DeviceMessage::DDEATH:
        return "DDEATH";
    case DeviceMessage::DDATA:
        return "DDATA";
    case DeviceMessage::DCMD:
        return "DCMD";
    }
    return "";
}

// Decodes one UTF-8 sequence at `i`; false for a malformed, overlong or
// surrogate one.
bool NextCodePoint(std::string_view s, std::size_t &i, std::uint32_t &cp) {
    const auto b0 = static_cast<std::uint8_t>(s[i]);
    std::size_t len = 0;
    std::uint32_t min = 0;
    if (b0 < 0x80) {
        cp = b0;
        ++i;
        return true;
    } else if ((b0 & 0xE0) == 0xC0) {
        len = 2;
        cp = b0 & 0x1Fu;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3;
        cp = b0 & 0x0Fu;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4;
        cp = b0 & 0x07u;
        min = 0x10000;
    } else {
        return false;
    }
    if (s.size() - i < len) {
        return false;
    }
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<std::uint8_t>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            return false;
        }
        cp = (cp << 6) | (b & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return false;
    }
    i += len;
    return true;
}

bool PublishedType(Datatype type) {
    switch (type) {
    case Datatype::Int16:
    case Datatype::UInt16:
    case Datatype::Int32:
    case Datatype::UInt32:
    case Datatype::Float:
    case Datatype::Boolean:
        return true;
    default:
        return false;
    }
}

std::string Folded(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return out;
}

std::string AtLine(int line, const std::string &text) {
    return "line " + std::to_string(line) + ": " + text;
}

} // namespace

std::string NodeTopic(NodeMessage type, const std::string &group, const std::string &edge) {
    return std::string(kNamespace) + "/" + group + "/" + NodeWord(type) + "/" + edge;
}

std::string DeviceTopic(DeviceMessage type, const std::string &group, const std::string &edge,
                        const std::string &device) {
    return std::string(kNamespace) + "/" + group + "/" + DeviceWord(type) + "/" + edge + "/" + device;
}

std::string DeviceCommandFilter(const std::string &group, const std::string &edge) {
    return std::string(kNamespace) + "/" + group + "/DCMD/" + edge + "/+";
}

std::string HostStateTopic(const std::string &hostId) {
    return std::string(kNamespace) + "/STATE/" + hostId;
}

std::string NameProblem(std::string_view text, std::size_t maxBytes) {
    if (text.empty()) {
        return "is empty";
    }
    if (text.size() > maxBytes) {
        return "is longer than " + std::to_string(maxBytes) + " bytes";
    }
    std::size_t i = 0;
    while (i < text.size()) {
        std::uint32_t cp = 0;
        if (!NextCodePoint(text, i, cp)) {
            return "is not valid UTF-8";
        }
        if (cp == '+' || cp == '/' || cp == '#') {
            return "holds '" + std::string(1, static_cast<char>(cp)) + "', which MQTT topics reserve";
        }
        // Control characters, C1 included, would print as nothing or worse in a host's tag browser.
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
            return "holds a control character";
        }
    }
    return "";
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && Folded(a) == Folded(b);
}

bool CheckModel(const EdgeModel &model, std::string &error) {
    std::map<std::string, const DeviceDef *> devices;
    for (const DeviceDef &d : model.devices) {
        if (const std::string why = NameProblem(d.id, kMaxIdBytes); !why.empty()) {
            error = AtLine(d.line, "device id \"" + d.id + "\" " + why);
            return false;
        }
        const auto [it, fresh] = devices.emplace(Folded(d.id), &d);
        if (!fresh) {
            error = AtLine(d.line, "device id \"" + d.id + "\" differs only in case from \"" + it->second->id +
                                       "\" (line " + std::to_string(it->second->line) + ")");
            return false;
        }
        std::map<std::string, const MetricDef *> names;
        for (const MetricDef &m : d.metrics) {
            if (const std::string why = NameProblem(m.name, kMaxNameBytes); !why.empty()) {
                error = AtLine(m.line, "metric name \"" + m.name + "\" " + why);
                return false;
            }
            if (!PublishedType(m.type)) {
                error = AtLine(m.line, "metric \"" + m.name + "\" has a datatype the gateway does not publish");
                return false;
            }
            const auto [at, unique] = names.emplace(Folded(m.name), &m);
            if (!unique) {
                error = AtLine(m.line, "metric name \"" + m.name + "\" of device \"" + d.id +
                                           "\" differs only in case from \"" + at->second->name + "\" (line " +
                                           std::to_string(at->second->line) + ")");
                return false;
            }
        }
    }
    return true;
}

Aliases::Aliases(const EdgeModel &model) {
    std::uint64_t next = 1;
    for (const DeviceDef &d : model.devices) {
        first_.push_back(next);
        counts_.push_back(d.metrics.size());
        next += d.metrics.size();
    }
    total_ = next - 1;
}

bool Aliases::Find(std::size_t device, std::uint64_t alias, std::size_t &metric) const {
    if (device >= first_.size() || alias < first_[device] || alias - first_[device] >= counts_[device]) {
        return false;
    }
    metric = static_cast<std::size_t>(alias - first_[device]);
    return true;
}

} // namespace orvgate::mqtt
