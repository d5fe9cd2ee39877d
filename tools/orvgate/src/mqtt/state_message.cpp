#include "mqtt/state_message.h"

#include <cctype>
#include <cstdint>
#include <string>

namespace orvgate::mqtt {

namespace {

// A reader of just enough JSON: values are checked for shape and skipped,
// except the two members the edge node needs.
class Json {
  public:
    explicit Json(std::string_view text) : s_(text) {}

    std::optional<HostState> Object() {
        Space();
        if (!Take('{')) {
            return std::nullopt;
        }
        std::optional<bool> online;
        std::optional<std::uint64_t> timestamp;
        Space();
        if (!Take('}')) {
            do {
                Space();
                std::string key;
                if (!String(&key)) {
                    return std::nullopt;
                }
                Space();
                if (!Take(':')) {
                    return std::nullopt;
                }
                Space();
                if (key == "online") {
                    if (Word("true")) {
                        online = true;
                    } else if (Word("false")) {
                        online = false;
                    } else {
                        return std::nullopt;
                    }
                } else if (key == "timestamp") {
                    std::uint64_t v = 0;
                    if (!Integer(v)) {
                        return std::nullopt;
                    }
                    timestamp = v;
                } else if (!Value(0)) {
                    return std::nullopt;
                }
                Space();
            } while (Take(','));
            if (!Take('}')) {
                return std::nullopt;
            }
        }
        Space();
        if (pos_ != s_.size() || !online || !timestamp) {
            return std::nullopt;
        }
        return HostState{*online, *timestamp};
    }

  private:
    static constexpr int kMaxDepth = 16;

    void Space() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) {
            ++pos_;
        }
    }
    bool Take(char c) {
        if (pos_ < s_.size() && s_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool Word(std::string_view w) {
        if (s_.substr(pos_, w.size()) == w) {
            pos_ += w.size();
            return true;
        }
        return false;
    }
    // A string; escapes are checked, and kept as they are (keys compared
    // here never hold one).
    bool String(std::string *out) {
        if (!Take('"')) {
            return false;
        }
        while (pos_ < s_.size()) {
            const char c = s_[pos_++];
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return false;
            }
            if (c == '\\') {
                if (pos_ >= s_.size()) {
                    return false;
                }
                const char e = s_[pos_++];
                if (e == 'u') {
                    for (int i = 0; i < 4; ++i) {
                        if (pos_ >= s_.size() || !std::isxdigit(static_cast<unsigned char>(s_[pos_++]))) {
                            return false;
                        }
                    }
                } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                    return false;
                }
                if (out != nullptr) {
                    out->push_back('\\');
                }
                continue;
            }
            if (out != nullptr) {
                out->push_back(c);
            }
        }
        return false;
    }
    bool Integer(std::uint64_t &v) {
        const std::size_t start = pos_;
        v = 0;
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') {
            const auto d = static_cast<std::uint64_t>(s_[pos_] - '0');
            if (v > (UINT64_MAX - d) / 10) {
                return false;
            }
            v = v * 10 + d;
            ++pos_;
        }
        return pos_ > start;
    }
    bool Digits() {
        const std::size_t start = pos_;
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') {
            ++pos_;
        }
        return pos_ > start;
    }
    bool Number() {
        Take('-');
        if (!Digits()) {
            return false;
        }
        if (Take('.') && !Digits()) {
            return false;
        }
        if (Take('e') || Take('E')) {
            if (!Take('+')) {
                Take('-');
            }
            if (!Digits()) {
                return false;
            }
        }
        return true;
    }
    bool Value(int depth) {
        if (depth > kMaxDepth) {
            return false;
        }
        Space();
        if (pos_ >= s_.size()) {
            return false;
        }
        const char c = s_[pos_];
        if (c == '"') {
            return String(nullptr);
        }
        if (c == '{' || c == '[') {
            const char close = c == '{' ? '}' : ']';
            ++pos_;
            Space();
            if (Take(close)) {
                return true;
            }
            do {
                Space();
                if (c == '{') {
                    if (!String(nullptr)) {
                        return false;
                    }
                    Space();
                    if (!Take(':')) {
                        return false;
                    }
                }
                if (!Value(depth + 1)) {
                    return false;
                }
                Space();
            } while (Take(','));
            return Take(close);
        }
        if (Word("true") || Word("false") || Word("null")) {
            return true;
        }
        return Number();
    }

    std::string_view s_;
    std::size_t pos_ = 0;
};

} // namespace

std::optional<HostState> ParseHostState(std::string_view json) {
    if (json.size() > kMaxStateBytes) {
        return std::nullopt;
    }
    return Json(json).Object();
}

} // namespace orvgate::mqtt
