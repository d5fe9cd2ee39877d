// What the MQTT tests share: Debian's mosquitto started on a port and a
// configuration file of its own, a libmosquitto subscriber that keeps every
// Sparkplug message, and npm's sparkplug-payload (scripts/setup.sh installs
// it) to decode what the edge node sent and to encode what a host sends.
#pragma once

#include <gtest/gtest.h>

#include <mosquitto.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "integration/e2e/child_process.h"

namespace mqtt_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The programs the tests run, from their command line.
struct Tools {
    std::string mosquitto, passwd, openssl, node, decoder;
};
extern Tools gTools;

// Milliseconds since the epoch, as Sparkplug timestamps are.
std::uint64_t WallMs();

bool PortAccepts(int port);

// A folder of the test's, readable by the broker, which drops to user mosquitto.
class Folder {
  public:
    Folder() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "orvgate-mqtt-XXXXXX").string();
        path_ = mkdtemp(tmpl.data());
        chmod(path_.c_str(), 0755);
    }
    ~Folder() {
        std::filesystem::remove_all(path_);
    }
    std::string Write(const std::string &name, const std::string &text) const {
        const std::string p = path_ + "/" + name;
        std::ofstream(p) << text;
        chmod(p.c_str(), 0644);
        return p;
    }
    std::string operator/(const std::string &name) const {
        return path_ + "/" + name;
    }
    const std::string &path() const {
        return path_;
    }

  private:
    std::string path_;
};

class Broker {
  public:
    Broker(const Folder &folder, std::string config, int port) : folder_(folder), port_(port) {
        conf_ = folder.Write("mosquitto.conf",
                             "persistence false\nlog_dest stderr\nlog_type error\nlog_type warning\n" + config);
    }
    ~Broker() {
        Kill(SIGKILL);
    }
    bool Start() {
        child_ = std::make_unique<e2e::ChildProcess>();
        std::string error;
        if (!child_->Start({gTools.mosquitto, "-c", conf_}, folder_.path(), error)) {
            ADD_FAILURE() << error;
            return false;
        }
        for (auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(20ms)) {
            if (PortAccepts(port_)) {
                return true;
            }
        }
        ADD_FAILURE() << "mosquitto did not listen on " << port_ << ": " << child_->Finish(1s).err;
        return false;
    }
    void Kill(int signal) {
        if (child_) {
            child_->Signal(signal);
            child_->Finish(5s);
            child_.reset();
        }
    }

  private:
    const Folder &folder_;
    int port_;
    std::string conf_;
    std::unique_ptr<e2e::ChildProcess> child_;
};

struct Message {
    std::string topic;
    std::string payload;
    Clock::time_point at;
};

// Takes every Sparkplug message on the broker, at QoS 1, resubscribing after a reconnection.
class Subscriber {
  public:
    explicit Subscriber(int port, const std::string &user = "", const std::string &password = "") {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(nullptr, true, this);
        if (!user.empty()) {
            mosquitto_username_pw_set(mosq_, user.c_str(), password.c_str());
        }
        mosquitto_connect_callback_set(mosq_, [](mosquitto *m, void *, int rc) {
            if (rc == 0) {
                mosquitto_subscribe(m, nullptr, "spBv1.0/#", 1);
            }
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto *, void *self, int, int, const int *) {
            auto *s = static_cast<Subscriber *>(self);
            std::lock_guard<std::mutex> lock(s->mutex_);
            ++s->subscribed_;
            s->changed_.notify_all();
        });
        mosquitto_message_callback_set(mosq_, [](mosquitto *, void *self, const mosquitto_message *m) {
            auto *s = static_cast<Subscriber *>(self);
            std::lock_guard<std::mutex> lock(s->mutex_);
            s->messages_.push_back(Message{m->topic,
                                           std::string(static_cast<const char *>(m->payload),
                                                       static_cast<std::size_t>(std::max(m->payloadlen, 0))),
                                           Clock::now()});
            s->changed_.notify_all();
        });
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_connect(mosq_, "127.0.0.1", port, 30);
        mosquitto_loop_start(mosq_);
        Wait([this] { return subscribed_ > 0; }, 5s);
    }
    ~Subscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
    }
    // Waits until `topic` has come `count` times in all.
    bool WaitFor(const std::string &topic, std::size_t count, std::chrono::milliseconds limit) {
        return Wait([&] { return Count(topic) >= count; }, limit);
    }
    // What the edge node sent (the commands a host sent left out).
    std::vector<Message> Messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Message> out;
        for (const Message &m : messages_) {
            if (m.topic.find("CMD/") == std::string::npos) {
                out.push_back(m);
            }
        }
        return out;
    }
    void Publish(const std::string &topic, const std::string &payload, bool retain = false) {
        mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
    }

  private:
    std::size_t Count(const std::string &topic) const {
        std::size_t n = 0;
        for (const Message &m : messages_) {
            n += m.topic == topic ? 1u : 0u;
        }
        return n;
    }
    template <typename Pred> bool Wait(Pred pred, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, pred);
    }
    mosquitto *mosq_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Message> messages_;
    int subscribed_ = 0;
};

// One message as sparkplug-payload decoded it.
struct Decoded {
    struct Metric {
        std::string name, alias, type, value, timestamp;
        bool null = false, historical = false;
        std::string field,
            raw; // the value's member as the bytes carried it (intValue, longValue, ...), and its content
    };
    std::string topic, seq, timestamp, error;
    std::vector<Metric> metrics;
    const Metric *Named(const std::string &n) const {
        for (const Metric &m : metrics) {
            if (m.name == n) {
                return &m;
            }
        }
        return nullptr;
    }
};

// Decodes what the subscriber took, one entry per message.
std::vector<Decoded> Decode(const std::vector<Message> &messages);

// A payload a host would send, from sparkplug-payload's JSON form.
std::string Encode(const std::string &json);

// The program's main: takes --mosquitto, --mosquitto-passwd, --openssl,
// --node and --decoder, and the options `more` names, hands them to `take`,
// and the rest of the command line to gtest; 2 when one is missing.
int RunCases(int argc, char **argv, const std::vector<std::string> &more,
             const std::function<void(const std::map<std::string, std::string> &)> &take);

} // namespace mqtt_test
