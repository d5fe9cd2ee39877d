// End to end: orvhost loads this build's driver module and its logging module,
// and starts, reads, writes, polls and recovers channels against a tiwaysim
// serving plant_network.conf, as a commissioning engineer would from a
// terminal. What reaches the controllers is checked in tiwaysim's trace, and
// what is read is checked against values the network held from the start.
// Each case has a simulator of its own, started on the build's device path,
// so that no case sees what another left in the network.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "sim_process.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Args = std::vector<std::string>;
using Lines = std::vector<std::string>;

const std::string kOrvhost = E2E_ORVHOST;
const std::string kModule = E2E_MODULE;
const std::string kTiwaysim = E2E_TIWAYSIM;
const std::string kPlantNetwork = E2E_PLANT_NETWORK;

// The running case's simulator: its control socket and its log, which holds
// its trace.
std::string gControl;
std::string gTraceLog;

// Long enough for a cold start whose reset is never answered (1 s + 20 s).
constexpr auto kRunLimit = 90s;
// A read that goes through needs well under a second; a failing one at most
// three reply time-outs.
constexpr auto kLineLimit = 15s;

// Regions the tests add to the predefined V, X, Y and C: V as double words,
// the 32-bit L, K, and WY under the letter W.
const std::string kPlantInit = "C800;800\nD;01;2;2\nL;0B;4;1\nK;02;2;1\nW;0A;2;1\n";
// The second card of the network.
const std::string kSecondCardInit = "D000;800\n";

Lines SplitLines(const std::string &text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

int CountOf(const std::string &text, const std::string &needle) {
    int n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) {
        ++n;
    }
    return n;
}

// Each text appears in `haystack`, in this order.
::testing::AssertionResult InOrder(const std::string &haystack, const Lines &texts) {
    std::size_t from = 0;
    for (const std::string &text : texts) {
        const auto at = haystack.find(text, from);
        if (at == std::string::npos) {
            return ::testing::AssertionFailure() << "missing (in this order) \"" << text << "\" in:\n" << haystack;
        }
        from = at + text.size();
    }
    return ::testing::AssertionSuccess();
}

std::string Describe(const e2e::Outcome &o) {
    std::ostringstream s;
    s << "exit " << o.exitCode << (o.timedOut ? " (killed: time-out)" : "")
      << (o.signal != 0 ? " signal " + std::to_string(o.signal) : "") << " after " << o.seconds << " s\n--- stdout\n"
      << o.out << "--- stderr\n"
      << o.err;
    return s.str();
}

// Tells the running simulator one control command through its client mode.
bool Control(const std::string &command) {
    const auto o = e2e::Run({kTiwaysim, "--send", gControl, command}, "", "", 10s);
    return o.exitCode == 0 && o.out.rfind("ok", 0) == 0;
}

// The part of tiwaysim's trace written since the mark was set.
class Trace {
public:
    // Marks the end of the trace once it has stopped growing, so that lines
    // of earlier exchanges still on their way are not taken for new ones.
    Trace() : mark_(Size()) {
        for (int i = 0; i < 100; ++i) {
            std::this_thread::sleep_for(30ms);
            const auto now = Size();
            if (now == mark_) {
                break;
            }
            mark_ = now;
        }
    }

    std::string Since() const {
        std::ifstream in(gTraceLog, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(mark_));
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // Waits for the texts to appear in order; tiwaysim writes its trace out
    // every 10 ms.
    ::testing::AssertionResult Shows(const Lines &texts) const {
        const auto deadline = Clock::now() + 3s;
        for (;;) {
            auto result = InOrder(Since(), texts);
            if (result || Clock::now() >= deadline) {
                return result;
            }
            std::this_thread::sleep_for(20ms);
        }
    }

private:
    static std::uintmax_t Size() {
        std::error_code ec;
        const auto size = std::filesystem::file_size(gTraceLog, ec);
        return ec ? 0 : size;
    }

    std::uintmax_t mark_;
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "orvtiw-e2e-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        workDir_ = pattern;
        const std::string simDir = workDir_ + "/tiwaysim";
        ASSERT_TRUE(std::filesystem::create_directory(simDir));
        // Configured, as an earlier host session would have left it: the
        // first start of an adapter, with its two 5 s pauses, is the demo's
        // and ProgressAndWatchWindowOnATerminalOnly's to show.
        sim_ = std::make_unique<tiwaysim::SimProcess>(
            kTiwaysim, E2E_DEVICE, simDir,
            std::vector<std::string>{"--config", kPlantNetwork, "--configured", "--trace"});
        std::string error;
        ASSERT_TRUE(sim_->Start(error)) << error;
        gControl = sim_->ControlPath();
        gTraceLog = sim_->LogPath();
        ASSERT_TRUE(Control("clear")) << "tiwaysim does not answer on " << gControl;
    }

    void TearDown() override {
        if (sim_ && sim_->Running()) {
            // A simulator that crashed under the case fails it here.
            EXPECT_TRUE(sim_->Stop()) << "tiwaysim did not stop cleanly:\n" << sim_->Log();
        }
        sim_.reset();
        std::error_code ec;
        std::filesystem::remove_all(workDir_, ec);
    }

    // A file in the test's own directory, for --init.
    std::string File(const std::string &name, const std::string &content) const {
        const std::string path = workDir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    Args HostArgs(const Args &args) const {
        Args all{kOrvhost, "--module", kModule};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }

    // orvhost run to its end in the test's directory.
    e2e::Outcome Host(const Args &args, const std::string &input = "") const {
        return e2e::Run(HostArgs(args), workDir_, input, kRunLimit);
    }

    // orvhost reading a script from a pipe, one line at a time, so the
    // simulator's switches can be changed between the lines.
    std::unique_ptr<e2e::ChildProcess> Session(const Args &args) const {
        auto child = std::make_unique<e2e::ChildProcess>();
        Args all = args;
        all.push_back("-");
        std::string error;
        if (!child->Start(HostArgs(all), workDir_, error)) {
            ADD_FAILURE() << "cannot start orvhost: " << error;
            return nullptr;
        }
        return child;
    }

    std::string workDir_;
    std::unique_ptr<tiwaysim::SimProcess> sim_;
};

void Send(e2e::ChildProcess &s, const std::string &line) {
    ASSERT_TRUE(s.Write(line + "\n")) << "orvhost stopped reading; stderr:\n" << s.Err();
}

::testing::AssertionResult OutShows(e2e::ChildProcess &s, const std::string &text,
                                    std::chrono::milliseconds limit = kLineLimit) {
    if (s.WaitForOut(text, limit)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no \"" << text << "\" on stdout:\n"
                                         << s.Out() << "--- stderr\n"
                                         << s.Err();
}

::testing::AssertionResult ErrShows(e2e::ChildProcess &s, const std::string &text,
                                    std::chrono::milliseconds limit = kLineLimit) {
    if (s.WaitForErr(text, limit)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no \"" << text << "\" on stderr:\n"
                                         << s.Err() << "--- stdout\n"
                                         << s.Out();
}

double SecondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

TEST_F(EndToEnd, InfoNamesTheDriverAndItsInstanceSize) {
    const auto o = Host({"info"});
    ASSERT_EQ(o.exitCode, 0) << Describe(o);
    const Lines lines = SplitLines(o.out);
    ASSERT_GE(lines.size(), 3u) << o.out;
    EXPECT_EQ(lines[0], "driver:        TW TIWAY Host Adapter");
    ASSERT_EQ(lines[1].rfind("instance size: ", 0), 0u) << lines[1];
    EXPECT_GE(std::atoi(lines[1].c_str() + 15), 1326) << "the host allocates at least the record's 1326 bytes";
    EXPECT_EQ(lines[2], "device:        " E2E_DEVICE);
    EXPECT_TRUE(InOrder(o.out, {"TIWAY I PC Host Adapter Driver. for TI 530", "Non-Intelligent Terminal Protocol"}));
}

// Reads of values the network held before any write: byte order, double
// regions, discrete bytes, bits of words, the highest secondary and the
// second card, each through a cold start of its own.
TEST_F(EndToEnd, ReadsWhatTheNetworkHolds) {
    struct Case {
        const char *what;
        Args args;
        std::string script;
        Lines expected;
    };
    const std::string plant = File("plant.int", kPlantInit);
    const std::string second = File("second.int", kSecondCardInit);
    const std::vector<Case> cases = {
        {"the edges of a signed word",
         {"-t", "int16", "read", "01V012C", "4"},
         "",
         {"01V012C [0]: -32768", "01V012C [1]: 32767", "01V012C [2]: -1", "01V012C [3]: 1"}},
        {"an unsigned word", {"-t", "uint16", "read", "01V012E"}, "", {"01V012E: 65535"}},
        {"a block in element order",
         {"-t", "hex", "read", "01V0064", "2"},
         "",
         {"01V0064 [0]: 0x1234", "01V0064 [1]: 0x5678"}},
        {"a double value, high half from the lower element",
         {"-f", plant, "-t", "hex32", "read", "01D0064"},
         "",
         {"01D0064: 0x12345678"}},
        {"a float from an odd element of a double region",
         {"-f", plant, "-t", "float", "read", "01D00C9"},
         "",
         {"01D00C9: -2.5"}},
        {"a 32-bit region, as every 32-bit type",
         {"-f", plant},
         "read 01L0001 2 -t hex32\nread 01L0001 -t int32\nread 01L0001 -t uint32\n",
         {"01L0001 [0]: 0x89ABCDEF", "01L0001 [1]: 0x00000001", "01L0001: -1985229329", "01L0001: 2309737967"}},
        {"discrete points, as a packed block and one by one",
         {},
         "read 01X0001 4 -t uint16\nread 01X0001 -t bit\nread 01X0002 -t bit\nread 01X0004 -t bit\n",
         {"01X0001 [0]: 1", "01X0001 [1]: 0", "01X0001 [2]: 1", "01X0001 [3]: 255", "01X0001: 1", "01X0002: 0",
          "01X0004: 1"}},
        {"bits of the word 0x1234",
         {"-t", "bit"},
         "read 01V00642\nread 01V00640\nread 01V0064C\nread 01V0064d\n",
         {"01V00642: 1", "01V00640: 0", "01V0064C: 1", "01V0064d: 0"}},
        {"a region the file adds", {"-f", plant, "-t", "uint16", "read", "01K0001"}, "", {"01K0001: 255"}},
        {"the last element of a short region", {"-f", plant, "-t", "hex", "read", "02W0100"}, "", {"02W0100: 0xABCD"}},
        {"secondary 31", {"-t", "hex", "read", "1fv0001"}, "", {"1fv0001: 0x1F1F"}},
        {"the card at D000, on channel 2",
         {"-c", "2", "-f", second, "-t", "hex", "read", "03V0001"},
         "",
         {"03V0001: 0x0D00"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Args args = c.args;
        if (!c.script.empty()) {
            args.push_back("-");
        }
        const auto o = Host(args, c.script);
        EXPECT_EQ(o.exitCode, 0) << Describe(o);
        EXPECT_EQ(SplitLines(o.out), c.expected) << Describe(o);
    }
}

// Writes checked twice: the request bytes the controller received (trace),
// and a read through the driver afterwards.
TEST_F(EndToEnd, WritesReachTheController) {
    struct Case {
        const char *what;
        Args args;
        std::string script;
        Lines expected;
        Lines trace;
    };
    const std::string plant = File("plant.int", kPlantInit);
    const std::string second = File("second.int", kSecondCardInit);
    const std::vector<Case> cases = {
        {"a signed word",
         {},
         "write 01V0400 -2\nread 01V0400\n",
         {"01V0400: wrote 1 value", "01V0400: -2"},
         {"C800 prim sec 1 write V(01) elem 1024 data FFFE -> kind 1 ok"}},
        {"a block of words",
         {"-t", "uint16"},
         "write 01V03F0 1 2 65535\nread 01V03F0 3 -t hex\n",
         {"01V03F0: wrote 3 values", "01V03F0 [0]: 0x0001", "01V03F0 [1]: 0x0002", "01V03F0 [2]: 0xFFFF"},
         {"prim sec 1 write V(01) elem 1008 data 00010002FFFF -> kind 1 ok"}},
        {"a float into a double region from an odd element",
         {"-f", plant},
         "write 01D0191 -2.5 -t float\nread 01V0191 2 -t hex\nread 01D0191 -t float\n",
         {"01D0191: wrote 1 value", "01V0191 [0]: 0xC020", "01V0191 [1]: 0x0000", "01D0191: -2.5"},
         {"prim sec 1 write V(01) elem 401 data C0200000 -> kind 1 ok"}},
        {"32-bit values",
         {"-f", plant},
         "write 01L0010 0x01020304 -t hex32\nwrite 01L0011 -2 -t int32\nread 01L0010 2 -t hex32\n",
         {"01L0010: wrote 1 value", "01L0011: wrote 1 value", "01L0010 [0]: 0x01020304", "01L0010 [1]: 0xFFFFFFFE"},
         {"prim sec 1 write L(0B) elem 16 data 01020304 -> kind 1 ok",
          "prim sec 1 write L(0B) elem 17 data FFFFFFFE -> kind 1 ok"}},
        {"a discrete point, written without a read",
         {"-t", "bit"},
         "write 01X0010 1\nread 01X0010\n",
         {"01X0010: wrote 1 value", "01X0010: 1"},
         {"prim sec 1 write X(03) elem 16 data 01 -> kind 1 ok", "prim sec 1 read X(03) elem 16 count 1"}},
        {"a block of discrete points, one byte each",
         {"-t", "uint16"},
         "write 01X0020 1 0 255\nread 01X0020 3\n",
         {"01X0020: wrote 3 values", "01X0020 [0]: 1", "01X0020 [1]: 0", "01X0020 [2]: 255"},
         {"prim sec 1 write X(03) elem 32 data 0100FF -> kind 1 ok"}},
        {"bits of a word: read, changed, written whole; a set bit set again stays set",
         {"-t", "bit"},
         "write 01V0200 0x1200 -t hex\nwrite 01V02003 1\nwrite 01V02003 1\nwrite 01V0200C 0\nwrite 01V0200C 0\n"
         "read 01V0200 -t hex\n",
         {"01V0200: wrote 1 value", "01V02003: wrote 1 value", "01V02003: wrote 1 value", "01V0200C: wrote 1 value",
          "01V0200C: wrote 1 value", "01V0200: 0x0208"},
         {"write V(01) elem 512 data 1200", "read V(01) elem 512 count 1 -> kind 1 ok data 1200",
          "write V(01) elem 512 data 1208", "read V(01) elem 512 count 1 -> kind 1 ok data 1208",
          "write V(01) elem 512 data 1208", "write V(01) elem 512 data 0208",
          "read V(01) elem 512 count 1 -> kind 1 ok data 0208", "write V(01) elem 512 data 0208"}},
        {"a word on the card at D000",
         {"-c", "2", "-f", second, "-t", "hex"},
         "write 03V0002 0x0D02\nread 03V0002\n",
         {"03V0002: wrote 1 value", "03V0002: 0x0D02"},
         {"D000 prim sec 3 write V(01) elem 2 data 0D02 -> kind 1 ok"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Trace trace;
        Args args = c.args;
        args.push_back("-");
        const auto o = Host(args, c.script);
        EXPECT_EQ(o.exitCode, 0) << Describe(o);
        EXPECT_EQ(SplitLines(o.out), c.expected) << Describe(o);
        EXPECT_TRUE(trace.Shows(c.trace));
    }
}

// The largest blocks the driver takes, 256 data bytes, each in one exchange
// through the card's mailbox.
TEST_F(EndToEnd, LargestBlocksTravelInOneExchange) {
    Lines expected;
    char line[64];
    for (int i = 0; i < 128; ++i) {
        const int element = 1 + i; // V100 and V101 hold 0x1234 and 0x5678
        std::snprintf(line, sizeof line, "01V0001 [%d]: 0x%04X", i,
                      element == 100   ? 0x1234
                      : element == 101 ? 0x5678
                                       : 0);
        expected.push_back(line);
    }
    for (int i = 0; i < 64; ++i) {
        // From an odd element the pairs are (1, 2), (3, 4) ...: V100 is the low
        // half of value 49, V101 the high half of value 50.
        std::snprintf(line, sizeof line, "01D0001 [%d]: 0x%08X", i, i == 49 ? 0x00001234u : i == 50 ? 0x56780000u : 0u);
        expected.push_back(line);
    }
    for (int i = 0; i < 256; ++i) {
        expected.push_back("01X0101 [" + std::to_string(i) + "]: 0");
    }
    std::string write = "write 01V0201";
    expected.push_back("01V0201: wrote 128 values");
    for (int i = 0; i < 128; ++i) {
        write += " " + std::to_string(i + 1);
        expected.push_back("01V0201 [" + std::to_string(i) + "]: " + std::to_string(i + 1));
    }
    const Trace trace;
    const auto o = Host({"-f", File("plant.int", kPlantInit), "-"},
                        "read 01V0001 128 -t hex\nread 01D0001 64 -t hex32\nread 01X0101 256 -t uint16\n" + write +
                            " -t uint16\nread 01V0201 128 -t uint16\n");
    EXPECT_EQ(o.exitCode, 0) << Describe(o);
    EXPECT_EQ(SplitLines(o.out), expected) << Describe(o);
    EXPECT_TRUE(trace.Shows({"prim sec 1 read V(01) elem 1 count 128 -> kind 1 ok",
                             "prim sec 1 read V(01) elem 1 count 128 -> kind 1 ok",
                             "prim sec 1 read X(03) elem 257 count 256 -> kind 1 ok",
                             "prim sec 1 write V(01) elem 513 data 00010002000300040005000600070008... -> kind 1 ok",
                             "prim sec 1 read V(01) elem 513 count 128 -> kind 1 ok"}));
}

TEST_F(EndToEnd, ValuesOutliveTheChannelThatWroteThem) {
    const Trace trace;
    const auto w = Host({"write", "01V0300", "4242"});
    ASSERT_EQ(w.exitCode, 0) << Describe(w);
    const auto r = Host({"read", "01V0300"});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(SplitLines(r.out), Lines{"01V0300: 4242"});
    // The second channel reset the adapter before it read.
    EXPECT_TRUE(trace.Shows({"write V(01) elem 768 data 1092", "C800 reset", "read V(01) elem 768 count 1"}));
}

// Addresses the driver refuses, on a channel without a card: the driver's
// reason at level 8, orvhost's summary, exit status 1, and nothing sent.
TEST_F(EndToEnd, RefusedAddressesNameTheReason) {
    struct Case {
        Args args;
        std::string reason;
        std::string summary;
    };
    const std::string plant = File("plant.int", kPlantInit);
    const std::vector<Case> cases = {
        {{"read", "00V0001"},
         "Illegal PLC Address in gate address string",
         "read 00V0001: address refused for 1 int16 value, status 1"},
        {{"read", "20V0001"},
         "Invalid character or length in gate address string",
         "read 20V0001: address refused for 1 int16 value, status 1"},
        {{"read", "01v000"}, "Address \"01v000\" is invalid", "read 01v000: address refused"},
        {{"read", "01Q0001"}, "Tiw-parse Invalid Data Region Id (Q)", "read 01Q0001: address refused"},
        {{"read", "01V0000"}, "Element number must be greater then zero", "read 01V0000: address refused"},
        {{"-t", "bit", "read", "01V0064"},
         "Must be (un)signed16 if no bit in 16 bit region single element",
         "read 01V0064: address refused for 1 bit value, status 1"},
        {{"read", "01X0001"},
         "Only digital gates allowed in single byte (discrete) regions",
         "read 01X0001: address refused"},
        {{"read", "01V0001", "129"},
         "Block size exceed maximum message size",
         "read 01V0001: address refused for 129 int16 values, status 1"},
        {{"-f", plant, "write", "01L0001", "5"},
         "Must be float or (un)signed32 in 32-Bit regions",
         "write 01L0001: address refused"},
        {{"-f", plant, "-t", "float", "read", "01D00021"},
         "Bits not allowed in 16 bit region with double element",
         "read 01D00021: address refused"},
    };
    const Trace trace;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.summary);
        Args args{"--no-card", "--level", "8"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto o = Host(args);
        EXPECT_EQ(o.exitCode, 1) << Describe(o);
        EXPECT_TRUE(InOrder(
            o.err, {"8 ORV01: TIW: SingleAddressParser funtcion entered", "8 ORV01: TIW: " + c.reason, c.summary}));
        EXPECT_EQ(o.out, "");
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(trace.Since(), "") << "a channel without a card touched the card";
}

TEST_F(EndToEnd, ChannelWithoutCardRefusesGatesAndFailsBlocks) {
    const Trace trace;
    const auto gate = Host({"--no-card", "read", "01V0064"});
    EXPECT_EQ(gate.exitCode, 1) << Describe(gate);
    EXPECT_TRUE(InOrder(gate.err, {"32 ORV01: TIW: SendStr() GRELMIN not open",
                                   "read 01V0064: status 1 (refused: no card on this channel)"}));
    EXPECT_EQ(CountOf(gate.err, "GRELMIN not open"), 1) << "only the connect of the new secondary is tried";

    // A block read does not look at the card flag: three attempts on a closed link.
    const auto block = Host({"--no-card", "read", "01V0064", "2"});
    EXPECT_EQ(block.exitCode, 1) << Describe(block);
    EXPECT_TRUE(InOrder(block.err, {"read 01V0064: status 2 (communication failure)"}));
    EXPECT_EQ(CountOf(block.err, "SendStr() GRELMIN not open"), 4) << block.err;

    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(trace.Since(), "");
}

TEST_F(EndToEnd, InitialisationFileOfTheChannel) {
    // Without --init the driver reads OrvTiwNN.int of the current directory.
    File("OrvTiw07.int", "C800\nL;0B;4;1\n");
    const auto own = Host({"-c", "7", "-t", "hex32", "read", "01L0002"});
    EXPECT_EQ(own.exitCode, 0) << Describe(own);
    EXPECT_EQ(SplitLines(own.out), Lines{"01L0002: 0x00000001"});
    EXPECT_TRUE(InOrder(own.err, {"32 ORV07: TIW: Version 7.00 Built ", "32 ORV07: TIW: ColdStart(): TIWAY Host "
                                                                        "Adapter Driver loaded successfully"}));
    EXPECT_EQ(own.err.find("Failed to read init file"), std::string::npos) << own.err;

    // A rejected line ends the file: the card window falls back to the
    // default, the regions before the fault stay, those after it never come.
    const std::string faulty = File("faulty.int", "D000;800\nL;0B;4;1\nv;01;2;1\nK;02;2;1\n");
    const auto kept = Host({"-f", faulty, "-"}, "read 01L0001 -t hex32\nread 01K0001\n");
    EXPECT_EQ(kept.exitCode, 1) << Describe(kept);
    EXPECT_EQ(SplitLines(kept.out), Lines{"01L0001: 0x89ABCDEF"});
    EXPECT_TRUE(InOrder(kept.err, {"8 ORV01: TIW: Duplicate region id V",
                                   "32 ORV01: TIW: ColdStart(): Failed to read init file, using defaults",
                                   "loaded successfully", "8 ORV01: TIW: Tiw-parse Invalid Data Region Id (K)"}));
}

// A channel whose start fails ends the run and says why: here the card
// window lies partly beyond the card memory, so the link cannot open. (A
// segment where no card answers fails the same way after the reset's 21 s:
// ChannelStartTest.SegmentWithoutACardFailsAfterTheResetTimeOut.)
TEST_F(EndToEnd, FailedColdStartEndsTheRun) {
    const std::string beyond = File("beyond.int", "F800;FFFF\n");
    const auto o = Host({"-f", beyond, "read", "01V0064"});
    EXPECT_EQ(o.exitCode, 1) << Describe(o);
    EXPECT_EQ(o.out, "");
    EXPECT_TRUE(InOrder(o.err, {"32 ORV01: TIW: OpenCom() Unable to map card shared memory address",
                                "32 ORV01: TIW: ColdStart(): Failed to open card at 0xF800",
                                "cold start: status 2 (communication failure)"}));
    EXPECT_EQ(o.err.find("read 01V0064"), std::string::npos) << "no read after the failed start\n" << o.err;
}

TEST_F(EndToEnd, LostRepliesAreRetriedThenReported) {
    auto s = Session({"-t", "hex"});
    ASSERT_TRUE(s);
    Send(*s, "read 01V0064");
    ASSERT_TRUE(OutShows(*s, "01V0064: 0x1234"));

    // Two lost replies: the third attempt brings the value.
    ASSERT_TRUE(Control("fail-next 2"));
    auto t0 = Clock::now();
    Send(*s, "read 01V0065");
    ASSERT_TRUE(OutShows(*s, "01V0065: 0x5678"));
    EXPECT_GE(SecondsSince(t0), 1.9) << "two reply time-outs of 1000 ms";
    EXPECT_EQ(CountOf(s->Err(), "32 ORV01: TIW: Timeout Waiting for response from Host Adapter"), 2) << s->Err();

    // Three lost replies fail the read; the next read needs no recovery.
    ASSERT_TRUE(Control("fail-next 3"));
    Send(*s, "read 01V0064");
    ASSERT_TRUE(ErrShows(*s, "read 01V0064: status 2 (communication failure): the card is not answering"));
    EXPECT_EQ(CountOf(s->Err(), "Timeout Waiting for response from Host Adapter"), 5) << s->Err();
    Send(*s, "read 01V0064");
    EXPECT_TRUE(OutShows(*s, "01V0064: 0x1234"));

    const auto o = s->Finish(kRunLimit);
    EXPECT_EQ(o.exitCode, 1) << "a line failed\n" << Describe(o);
}

TEST_F(EndToEnd, ControllerDropsOffTheNetworkAndComesBack) {
    auto s = Session({"-f", File("plant.int", kPlantInit), "-t", "hex"});
    ASSERT_TRUE(s);
    Send(*s, "read 02W0100");
    ASSERT_TRUE(OutShows(*s, "02W0100: 0xABCD"));

    ASSERT_TRUE(Control("disconnect 2"));
    Send(*s, "read 02W0100");
    ASSERT_TRUE(ErrShows(*s, "read 02W0100: status 2 (communication failure): the secondary cannot be reached"));
    EXPECT_TRUE(InOrder(s->Err(), {"32 ORV01: TIW: CheckReply() - MHIU Error: 0x0104",
                                   "32 ORV01: TIW: ReconnectSecondarys(): Failed to connect secondary devices: 02"}));
    Send(*s, "read 01V0064");
    ASSERT_TRUE(OutShows(*s, "01V0064: 0x1234")) << "the other controller still answers";

    // Back on the network, but no longer connected: the read connects it again.
    ASSERT_TRUE(Control("reconnect 2"));
    const Trace trace;
    Send(*s, "read 02W0100");
    ASSERT_TRUE(OutShows(*s, "02W0100: 0xABCD"));
    EXPECT_TRUE(InOrder(s->Err(), {"CheckReply() - MHIU Error: 0x0103",
                                   "32 ORV01: TIW: ReconnectSecondarys(): Succeed to connect secondary devices: 02"}));
    EXPECT_TRUE(trace.Shows({"prim sec 2 read WY(0A) elem 256 count 1 -> kind 0 MHIU error 0x0103",
                             "connect sec 2 -> kind 2 02", "prim sec 2 read WY(0A) elem 256 count 1 -> kind 1 ok"}));

    const auto o = s->Finish(kRunLimit);
    EXPECT_EQ(o.exitCode, 1) << Describe(o);
}

// A request the card took and never answered keeps the mailbox busy after
// the fault is gone; a warm start resets the adapter, keeps the regions and
// connects the secondaries again.
TEST_F(EndToEnd, StuckMailboxRecoversByWarmStart) {
    auto s = Session({"-f", File("plant.int", kPlantInit), "-t", "hex"});
    ASSERT_TRUE(s);
    Send(*s, "read 01V0064");
    ASSERT_TRUE(OutShows(*s, "01V0064: 0x1234"));
    Send(*s, "read 02W0100");
    ASSERT_TRUE(OutShows(*s, "02W0100: 0xABCD"));

    ASSERT_TRUE(Control("ack-no-reply on"));
    Send(*s, "read 01V0065");
    ASSERT_TRUE(ErrShows(*s, "read 01V0065: status 2 (communication failure)"));
    EXPECT_TRUE(InOrder(s->Err(), {"Timeout Waiting for response from Host Adapter",
                                   "Host Adapter did not clear from previous command",
                                   "Host Adapter did not clear from previous command"}));

    ASSERT_TRUE(Control("clear"));
    Send(*s, "read 01V0065");
    ASSERT_TRUE(ErrShows(*s, "read 01V0065: status 2 (communication failure)"));
    EXPECT_EQ(CountOf(s->Err(), "Host Adapter did not clear from previous command"), 5) << s->Err();

    const Trace trace;
    Send(*s, "warm");
    ASSERT_TRUE(OutShows(*s, "warm: ok"));
    EXPECT_TRUE(InOrder(s->Err(), {"0 ORV01: TIW: Warm Start reopen Com", "0 ORV01: TIW: Warm Start Com opened",
                                   "0 ORV01: TIW: Configure adapter rc=0, Addr: 1",
                                   "32 ORV01: TIW: ReconnectSecondarys(): Succeed to connect secondary devices: 01",
                                   "32 ORV01: TIW: ReconnectSecondarys(): Succeed to connect secondary devices: 02"}));
    EXPECT_TRUE(
        trace.Shows({"C800 reset", "list connected", "connect sec 1 -> kind 2 01", "connect sec 2 -> kind 2 02"}));
    Send(*s, "read 01V0065");
    EXPECT_TRUE(OutShows(*s, "01V0065: 0x5678"));
    Send(*s, "read 02W0100");
    EXPECT_TRUE(OutShows(*s, "02W0100: 0xABCD"));
    EXPECT_EQ(s->Err().find("0x0103"), std::string::npos) << "both secondaries were connected before the reads\n"
                                                          << s->Err();
    Send(*s, "read 01D0064 -t hex32");
    EXPECT_TRUE(OutShows(*s, "01D0064: 0x12345678")) << "the file's regions survive a warm start";

    const auto o = s->Finish(kRunLimit);
    EXPECT_EQ(o.exitCode, 1) << Describe(o);
}

TEST_F(EndToEnd, ReplyTimeoutSetByTheHost) {
    auto s = Session({"--timeout", "200", "-t", "hex"});
    ASSERT_TRUE(s);
    Send(*s, "read 01V0064");
    ASSERT_TRUE(OutShows(*s, "01V0064: 0x1234"));

    // 2000 ms of patience outlasts a reply 1500 ms late.
    ASSERT_TRUE(Control("delay 1500"));
    auto t0 = Clock::now();
    Send(*s, "read 01V0065");
    ASSERT_TRUE(OutShows(*s, "01V0065: 0x5678"));
    EXPECT_GE(SecondsSince(t0), 1.4);
    EXPECT_EQ(s->Err().find("Timeout Waiting"), std::string::npos) << s->Err();

    // 1000 ms does not.
    Send(*s, "timeout 100");
    Send(*s, "read 01V0064");
    ASSERT_TRUE(ErrShows(*s, "read 01V0064: status 2 (communication failure)"));
    EXPECT_TRUE(InOrder(s->Err(), {"Timeout Waiting for response from Host Adapter"}));

    ASSERT_TRUE(Control("clear"));
    Send(*s, "warm");
    ASSERT_TRUE(OutShows(*s, "warm: ok"));
    Send(*s, "read 01V0064");
    EXPECT_TRUE(OutShows(*s, "01V0064: 0x1234"));

    const auto o = s->Finish(kRunLimit);
    EXPECT_EQ(o.exitCode, 1) << Describe(o);
}

// An adapter that ignores its reset leaves the link closed; once it answers
// again, reopening the link is enough, and the first read connects its
// secondary again.
TEST_F(EndToEnd, AdapterIgnoresItsResetUntilReopened) {
    auto s = Session({"-t", "hex"});
    ASSERT_TRUE(s);
    Send(*s, "read 01V0064");
    ASSERT_TRUE(OutShows(*s, "01V0064: 0x1234"));

    ASSERT_TRUE(Control("no-reset on"));
    auto t0 = Clock::now();
    Send(*s, "reopen");
    ASSERT_TRUE(ErrShows(*s, "reopen: status 2 (communication failure)", 60s));
    EXPECT_GE(SecondsSince(t0), 20.5);
    EXPECT_TRUE(InOrder(s->Err(), {"32 ORV01: TIW: Host Adapter Reset, Card didn't respond to reset"}));

    Send(*s, "read 01V0064");
    ASSERT_TRUE(ErrShows(*s, "read 01V0064: status 2 (communication failure)"));
    EXPECT_EQ(CountOf(s->Err(), "32 ORV01: TIW: SendStr() GRELMIN not open"), 3) << s->Err();

    ASSERT_TRUE(Control("clear"));
    Send(*s, "reopen");
    ASSERT_TRUE(OutShows(*s, "reopen: ok"));
    Send(*s, "read 01V0064");
    ASSERT_TRUE(OutShows(*s, "01V0064: 0x1234"));
    EXPECT_TRUE(InOrder(s->Err(), {"CheckReply() - MHIU Error: 0x0103", "Succeed to connect secondary devices: 01"}));

    const auto o = s->Finish(kRunLimit);
    EXPECT_EQ(o.exitCode, 1) << Describe(o);
}

TEST_F(EndToEnd, PollKeepsItsInterval) {
    auto child = std::make_unique<e2e::ChildProcess>();
    std::string error;
    ASSERT_TRUE(
        child->Start(HostArgs({"-t", "hex", "-i", "200", "-N", "5", "poll", "01V0064", "01V0065"}), workDir_, error))
        << error;
    ASSERT_TRUE(OutShows(*child, "[1] "));
    const auto first = Clock::now();
    ASSERT_TRUE(OutShows(*child, "[5] "));
    const double span = SecondsSince(first);
    const auto o = child->Finish(kRunLimit);
    EXPECT_EQ(o.exitCode, 0) << Describe(o);
    Lines expected;
    for (int i = 1; i <= 5; ++i) {
        expected.push_back("[" + std::to_string(i) + "] 01V0064=0x1234 01V0065=0x5678");
    }
    expected.push_back("poll: 10 reads, 0 errors, 0.0% failed");
    EXPECT_EQ(SplitLines(o.out), expected);
    EXPECT_GE(span, 0.75) << "four periods of 200 ms";
    EXPECT_LE(span, 2.0);
}

TEST_F(EndToEnd, PollCountsTheReadsThatFail) {
    ASSERT_TRUE(Control("disconnect 2"));
    const auto o =
        Host({"-f", File("plant.int", kPlantInit), "-t", "hex", "-i", "50", "-N", "3", "poll", "01V0064", "02W0100"});
    EXPECT_EQ(o.exitCode, 1) << Describe(o);
    EXPECT_EQ(SplitLines(o.out),
              (Lines{"[1] 01V0064=0x1234 02W0100=status 2", "[2] 01V0064=0x1234 02W0100=status 2",
                     "[3] 01V0064=0x1234 02W0100=status 2", "poll: 6 reads, 3 errors, 50.0% failed"}));
}

TEST_F(EndToEnd, InterruptEndsThePollAndStopsTheChannel) {
    auto child = std::make_unique<e2e::ChildProcess>();
    std::string error;
    ASSERT_TRUE(child->Start(HostArgs({"-t", "hex", "-i", "100", "poll", "01V0064"}), workDir_, error)) << error;
    ASSERT_TRUE(OutShows(*child, "[3] 01V0064=0x1234"));
    child->Signal(SIGINT);
    const auto o = child->Finish(10s);
    EXPECT_EQ(o.exitCode, 0) << Describe(o);
    const Lines lines = SplitLines(o.out);
    ASSERT_FALSE(lines.empty());
    const std::string &summary = lines.back();
    ASSERT_EQ(summary.rfind("poll: ", 0), 0u) << o.out;
    EXPECT_GE(std::atoi(summary.c_str() + 6), 3) << summary;
    EXPECT_NE(summary.find(" reads, 0 errors, 0.0% failed"), std::string::npos) << summary;
    EXPECT_EQ(o.err.find("stop:"), std::string::npos) << "the channel stopped cleanly\n" << o.err;
}

// A card is one host's: a second host's start is refused before it touches
// the mailbox, and told who drives the card; the first host reads on; once
// it is killed, the card is free.
TEST_F(EndToEnd, SecondHostOnADrivenCardIsRefusedUntilTheFirstDies) {
    auto first = Session({"-l", "33"});
    ASSERT_NE(first, nullptr);
    Send(*first, "read 01V012C");
    ASSERT_TRUE(OutShows(*first, "01V012C: -32768"));

    const Trace trace;
    const auto t0 = Clock::now();
    const auto second = Host({"read", "01V012C"});
    EXPECT_LT(SecondsSince(t0), 5.0) << "refused at once, not after the card's time-outs";
    EXPECT_EQ(second.exitCode, 1) << Describe(second);
    EXPECT_TRUE(InOrder(second.err, {"32 ORV01: TIW: Failed to map card memory",
                                     "32 ORV01: TIW: OpenCom() Unable to map card shared memory address",
                                     "32 ORV01: TIW: ColdStart(): Failed to open card at 0xC800",
                                     "32 ORV01: host: cannot map the card window 0xC8000..0xC87FF of " E2E_DEVICE,
                                     "another host drives this card: process " + std::to_string(first->Pid()) +
                                         " (orvhost)"}));
    EXPECT_EQ(trace.Since(), "") << "the second host left the card alone";

    Send(*first, "read 01V012D");
    EXPECT_TRUE(OutShows(*first, "01V012D: 32767"));
    first->Signal(SIGKILL);
    first->Finish(10s);
    const auto after = Host({"-l", "33", "read", "01V012C"});
    EXPECT_EQ(after.exitCode, 0) << Describe(after);
    EXPECT_EQ(after.out, "01V012C: -32768\n");
}

// On a terminal orvhost shows what a long wait waits for, drawn from the
// driver's own lines, and polls in a window rewritten in place; redirected,
// none of it. `script` gives the run a pseudo-terminal.
TEST_F(EndToEnd, ProgressAndWatchWindowOnATerminalOnly) {
    const auto onTerminal = [this](const std::string &arguments) {
        return e2e::Run({"/usr/bin/script", "-qec", "'" + kOrvhost + "' --module '" + kModule + "' " + arguments, "/dev/null"},
                        workDir_, "", kRunLimit);
    };
    // Configured, the cold start still pauses a second in the reset: a
    // terminal would show it, the redirected run shows nothing.
    const auto redirected = Host({"-l", "33", "read", "01V0064"});
    EXPECT_EQ(redirected.exitCode, 0) << Describe(redirected);
    EXPECT_EQ(redirected.err, "") << Describe(redirected);

    // Unconfigured at every reset: the configuration's two 5 s pauses.
    ASSERT_TRUE(Control("reset-forgets on"));
    const auto tty = onTerminal("-l 33 -t hex read 01V0064");
    EXPECT_EQ(tty.exitCode, 0) << Describe(tty);
    EXPECT_TRUE(InOrder(tty.out, {"\rcold start: adapter reset, then configuration - 1 s of up to 31 s",
                                  "\rcold start: adapter reset, then configuration - 9 s of up to 31 s",
                                  "01V0064: 0x1234"}));
    ASSERT_TRUE(Control("reset-forgets off"));

    const auto watch = onTerminal("-l 33 -t hex -i 50 -N 2 poll 01V0064 01V0065");
    EXPECT_EQ(watch.exitCode, 0) << Describe(watch);
    EXPECT_TRUE(InOrder(watch.out, {"[1] every 50 ms", "  01V0064  0x1234", "  01V0065  0x5678", "\033[3F",
                                    "[2] every 50 ms", "  01V0064  0x1234", "poll: 4 reads, 0 errors"}));
}

} // namespace

int main(int argc, char **argv) {
    // A child that stops reading must not end the test program.
    std::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
