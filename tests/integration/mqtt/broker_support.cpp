#include "broker_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

namespace mqtt_test {

Tools gTools;

std::uint64_t WallMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

bool PortAccepts(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

namespace {

std::vector<std::string> Split(const std::string &line) {
    std::vector<std::string> f;
    std::stringstream in(line);
    std::string part;
    while (std::getline(in, part, '\t')) {
        f.push_back(part);
    }
    return f;
}

} // namespace

std::vector<Decoded> Decode(const std::vector<Message> &messages) {
    static const char hex[] = "0123456789abcdef";
    Folder folder;
    std::string lines;
    for (const Message &m : messages) {
        lines += m.topic + "\t";
        for (const char ch : m.payload) {
            const auto c = static_cast<unsigned char>(ch);
            lines += hex[c >> 4];
            lines += hex[c & 15];
        }
        lines += "\n";
    }
    const std::string file = folder.Write("payloads", lines);
    const e2e::Outcome o =
        e2e::Run({gTools.node, gTools.decoder + "/sparkplug.js", "decode", file}, folder.path(), "", 60s);
    EXPECT_EQ(o.exitCode, 0) << o.err << " (the decoder comes with scripts/setup.sh)";
    std::vector<Decoded> out;
    std::stringstream in(o.out);
    std::string line;
    while (std::getline(in, line)) {
        const std::vector<std::string> f = Split(line);
        if (f.size() == 4 && f[0] == "M") {
            out.push_back(Decoded{f[1], f[2], f[3], "", {}});
        } else if (f.size() == 3 && f[0] == "E") {
            out.push_back(Decoded{f[1], "", "", f[2], {}});
        } else if (f.size() == 10 && f[0] == "m" && !out.empty()) {
            out.back().metrics.push_back(
                Decoded::Metric{f[1], f[2], f[3], f[4], f[7], f[5] == "true", f[6] == "true", f[8], f[9]});
        } else {
            ADD_FAILURE() << "decoder line: " << line;
        }
    }
    EXPECT_EQ(out.size(), messages.size());
    return out;
}

std::string Encode(const std::string &json) {
    Folder folder;
    const e2e::Outcome o =
        e2e::Run({gTools.node, gTools.decoder + "/sparkplug.js", "encode", json}, folder.path(), "", 60s);
    EXPECT_EQ(o.exitCode, 0) << o.err;
    std::string bytes;
    for (std::size_t i = 0; i + 1 < o.out.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(o.out.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

int RunCases(int argc, char **argv, const std::vector<std::string> &more,
             const std::function<void(const std::map<std::string, std::string> &)> &take) {
    std::map<std::string, std::string> args;
    std::vector<char *> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--", 0) == 0 && a.rfind("--gtest", 0) != 0 && i + 1 < argc) {
            args[a] = argv[++i];
        } else {
            rest.push_back(argv[i]);
        }
    }
    std::vector<std::string> needs{"--mosquitto", "--mosquitto-passwd", "--openssl", "--node", "--decoder"};
    needs.insert(needs.end(), more.begin(), more.end());
    for (const std::string &need : needs) {
        if (args.count(need) == 0) {
            std::fprintf(stderr, "missing %s\n", need.c_str());
            return 2;
        }
    }
    gTools =
        Tools{args["--mosquitto"], args["--mosquitto-passwd"], args["--openssl"], args["--node"], args["--decoder"]};
    take(args);
    int n = static_cast<int>(rest.size());
    rest.push_back(nullptr); // gtest, like main, reads up to argv[argc]
    ::testing::InitGoogleTest(&n, rest.data());
    return RUN_ALL_TESTS();
}

} // namespace mqtt_test
