// Loads KELMAR.dll and OrvTiw.dll by name through the host library, as a
// host does (LoadLibrary, GetProcAddress "OrvMain"), learns the instance
// size from operation 14 and cold-starts channels on a machine without the
// card's kernel driver, checking statuses, the host memory bounds and the
// lines that reach KELMAR.dll's err.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "channel/instance.h"
#include "orvtiw/host.h"

namespace {

using orvtiw::host::LogLine;

int gChecks = 0;
int gFailures = 0;

void Check(bool ok, const std::string &what) {
    ++gChecks;
    if (!ok) {
        ++gFailures;
    }
    std::printf("[ %s ] %s\n", ok ? "      OK" : " FAILED ", what.c_str());
    std::fflush(stdout);
}

// Index of the first line of `level` and `text` at or after `from`, or -1.
long FindLine(const std::vector<LogLine> &lines, int level, const std::string &text, std::size_t from = 0) {
    for (std::size_t i = from; i < lines.size(); ++i) {
        if (lines[i].level == level && lines[i].text == text) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

void Print(const char *title, const std::vector<LogLine> &lines) {
    std::printf("--- %s (%zu lines)\n", title, lines.size());
    for (const LogLine &line : lines) {
        std::printf("%d %s\n", line.level, line.text.c_str());
    }
}

} // namespace

int main() {
    std::string error;
    const auto module = orvtiw::host::Module::Load("KELMAR.dll", "OrvTiw.dll", error);
    Check(module != nullptr, "KELMAR.dll and OrvTiw.dll load by name, and OrvMain is found undecorated" +
                                 (error.empty() ? std::string() : ": " + error));
    if (module == nullptr) {
        return 1;
    }

    // Operation 14, on a record filled with a pattern, so that the fields it
    // must not write can be seen untouched.
    orvtiw::host::Channel one(module, 1);
    InfoRecord info;
    std::memset(&info, 0x5A, sizeof info);
    const auto infoResult = one.Call(ORV_OP_GET_DRIVER_INFO, &info);
    Check(infoResult.status == ORV_STATUS_OK, "operation 14 returns 0, got " + std::to_string(infoResult.status));
    const std::int32_t expectedSize = sizeof(void *) == 4 ? 1326 : orvtiw::kInstanceSize;
    Check(info.instanceSize == expectedSize, "operation 14 reports instance size " + std::to_string(expectedSize) +
                                                 ", got " + std::to_string(info.instanceSize));
    if (sizeof(void *) == 8) {
        Check(info.instanceSize > 1326 && static_cast<std::size_t>(info.instanceSize) == sizeof(orvtiw::Instance),
              "on 64 bits the reported size is the real Instance size (" + std::to_string(sizeof(orvtiw::Instance)) +
                  ")");
    }
    std::printf("instance size reported: %d\n", info.instanceSize);
    Check(info.hostConstant0 == 70 && info.hostConstant16 == 1 && info.hostConstant28 == 3,
          "operation 14 writes the constants 70, 1 and 3");
    Check(info.reserved20 == 0x5A5A5A5A && info.reserved24 == 0x5A5A5A5A,
          "operation 14 leaves offsets 20 and 24 unwritten");
    Check(info.driverName != nullptr && std::strcmp(info.driverName, "TW TIWAY Host Adapter") == 0,
          "operation 14 names the driver \"TW TIWAY Host Adapter\"");
    Check(info.banner != nullptr && std::strlen(info.banner) == 379, "operation 14 gives the 379-byte banner");

    // Operation 1 in host memory of exactly the reported size; the library
    // checks after every call that nothing beyond it was written.
    const auto cold = one.ColdStart();
    Check(cold.status == ORV_STATUS_COMM_FAILURE,
          "cold start without \\\\.\\GRELMIN returns 2, got " + std::to_string(cold.status));
    Check(cold.problem.empty(), "cold start writes nothing beyond the reported instance size" +
                                    (cold.problem.empty() ? std::string() : ": " + cold.problem));
    const long opened = FindLine(cold.log, 32, "ORV01: TIW: Error opening GRELMIN driver");
    Check(opened >= 0, "err received \"32 ORV01: TIW: Error opening GRELMIN driver\"");
    const auto next = static_cast<std::size_t>(opened + 1);
    const bool nextIsOpenCom = opened >= 0 && next < cold.log.size() &&
                               cold.log[next].text == "ORV01: TIW: OpenCom() Unable to open GRELMIN driver";
    Check(nextIsOpenCom, "the next line is \"32 ORV01: TIW: OpenCom() Unable to open GRELMIN driver\"");
    const bool thenColdStart =
        nextIsOpenCom && next + 1 < cold.log.size() &&
        cold.log[next + 1].text.rfind("ORV01: TIW: ColdStart(): Failed to open card at 0x", 0) == 0;
    Check(thenColdStart, "then ColdStart reports the card segment it failed to open");

    // The link is closed after the failure; stopping it is harmless.
    const auto stop = one.Stop();
    Check(stop.status == ORV_STATUS_OK,
          "operation 11 on the closed link returns 0, got " + std::to_string(stop.status));

    // Channel 2 with its own initialisation file, written with the CR LF line
    // ends of a Windows editor: the card window must come from the file.
    orvtiw::host::Channel two(module, 2);
    orvtiw::host::StartOptions start;
    start.initText = "D000;0800\r\nW;03;2;1\r\n";
    const auto cold2 = two.ColdStart(start);
    Check(cold2.status == ORV_STATUS_COMM_FAILURE,
          "cold start of channel 2 returns 2, got " + std::to_string(cold2.status));
    Check(FindLine(cold2.log, 32, "ORV02: TIW: ColdStart(): Failed to open card at 0xD000") >= 0,
          "channel 2 tries the card segment of its CR LF initialisation file, 0xD000");
    Check(FindLine(cold2.log, 32, "ORV02: TIW: ColdStart(): Failed to read init file, using defaults") < 0,
          "channel 2 reads its initialisation file without falling back to the defaults");

    // Two private copies of OrvTiw.dll: a call into the second goes ahead
    // while a call into the first is under way (from the first's log
    // handler, under its lock).
    const auto copyA =
        orvtiw::host::Module::Load("KELMAR.dll", "OrvTiw.dll", error, orvtiw::host::Loading::PrivateCopy);
    const auto copyB =
        orvtiw::host::Module::Load("KELMAR.dll", "OrvTiw.dll", error, orvtiw::host::Loading::PrivateCopy);
    Check(copyA != nullptr && copyB != nullptr,
          "two private copies of OrvTiw.dll load" + (error.empty() ? "" : ": " + error));
    if (copyA != nullptr && copyB != nullptr) {
        orvtiw::host::Channel a(copyA, 3);
        orvtiw::host::Channel b(copyB, 4);
        orvtiw::host::StartOptions offline;
        offline.online = false;
        a.ColdStart(offline);
        b.ColdStart(offline);
        bool innerOk = false;
        bool entered = false;
        a.SetLogHandler([&](const LogLine &) {
            if (entered) {
                return;
            }
            entered = true;
            auto inner =
                std::async(std::launch::async, [&] { return b.Check("02V0002", orvtiw::host::ValueType::UInt16); });
            if (inner.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
                Check(false, "a call into the second copy went ahead during a call into the first");
                std::_Exit(1); // the inner call never returns
            }
            const auto r = inner.get();
            innerOk = r.ok() && r.gate.decoded.plcAddress == 2 && r.gate.decoded.elementNumber == 2;
        });
        const auto outer = a.Check("01V0001", orvtiw::host::ValueType::UInt16);
        Check(entered && innerOk && outer.ok() && outer.gate.decoded.plcAddress == 1,
              "a call into the second copy went ahead during a call into the first, each parsing its own address");
    }

    Print("channel 1 cold start", cold.log);
    Print("channel 2 cold start", cold2.log);
    std::printf("--- %d checks, %d failed\n", gChecks, gFailures);
    return gFailures == 0 ? 0 : 1;
}
