// Loads OrvTiw.dll the way a host does (LoadLibrary, GetProcAddress
// "OrvMain"), learns the instance size from operation 14 and cold-starts a
// channel on a machine without the card's kernel driver, checking statuses,
// the host memory bounds and the lines that reach KELMAR.dll's err.
//
// Usage: orvtiw_smoke <log file>. The log file receives what err prints, so
// the program can read it back; it is echoed to stdout at the end.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "channel/instance.h"
#include "orvtiw/host_abi.h"

namespace {

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

std::vector<std::string> ReadLines(const char *path) {
    std::vector<std::string> lines;
    std::FILE *f = std::fopen(path, "rb");
    if (f == nullptr) {
        return lines;
    }
    std::string line;
    for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            lines.push_back(line);
            line.clear();
        } else {
            line.push_back(static_cast<char>(c));
        }
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    std::fclose(f);
    return lines;
}

// Index of the first line equal to `text` at or after `from`, or -1.
long FindLine(const std::vector<std::string> &lines, const std::string &text, std::size_t from = 0) {
    for (std::size_t i = from; i < lines.size(); ++i) {
        if (lines[i] == text) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

OrvMainFunction LoadEntry(HMODULE module) {
    // FARPROC goes through the generic function pointer type, the one
    // conversion between function pointer types that the compiler accepts
    // without a cast warning.
    FARPROC proc = GetProcAddress(module, "OrvMain");
    return reinterpret_cast<OrvMainFunction>(reinterpret_cast<void (*)()>(proc));
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <log file>\n", argv[0]);
        return 2;
    }
    const char *logPath = argv[1];
    // KELMAR.dll prints to the same C runtime's stderr, so this captures err.
    if (std::freopen(logPath, "w", stderr) == nullptr) {
        std::printf("cannot redirect stderr to %s\n", logPath);
        return 2;
    }

    HMODULE module = LoadLibraryA("OrvTiw.dll");
    Check(module != nullptr, "LoadLibrary(\"OrvTiw.dll\") finds the module and KELMAR.dll beside it");
    if (module == nullptr) {
        std::printf("LoadLibrary failed, error %lu\n", GetLastError());
        return 1;
    }
    OrvMainFunction orvMain = LoadEntry(module);
    Check(orvMain != nullptr, "GetProcAddress(\"OrvMain\") finds the undecorated entry");
    if (orvMain == nullptr) {
        return 1;
    }

    // Operation 14, before any instance exists, as a host calls it first.
    InfoRecord info;
    std::memset(&info, 0x5A, sizeof info);
    CallRecord call{};
    call.op = ORV_OP_GET_DRIVER_INFO;
    call.channel = 1;
    call.params = &info;
    const std::int32_t infoStatus = orvMain(&call);
    Check(infoStatus == ORV_STATUS_OK, "operation 14 returns 0, got " + std::to_string(infoStatus));
    const std::int32_t expectedSize = sizeof(void *) == 4 ? 1326 : orvtiw::kInstanceSize;
    Check(info.instanceSize == expectedSize, "operation 14 reports instance size " + std::to_string(expectedSize) +
                                                 ", got " + std::to_string(info.instanceSize));
    if (sizeof(void *) == 8) {
        Check(info.instanceSize > 1326 &&
                  static_cast<std::size_t>(info.instanceSize) == sizeof(orvtiw::Instance),
              "on 64 bits the reported size is the real Instance size (" +
                  std::to_string(sizeof(orvtiw::Instance)) + ")");
    }
    std::printf("instance size reported: %d\n", info.instanceSize);
    Check(info.hostConstant0 == 70 && info.hostConstant16 == 1 && info.hostConstant28 == 3,
          "operation 14 writes the constants 70, 1 and 3");
    Check(info.reserved20 == 0x5A5A5A5A && info.reserved24 == 0x5A5A5A5A,
          "operation 14 leaves offsets 20 and 24 unwritten");
    Check(info.driverName != nullptr && std::strcmp(info.driverName, "TW TIWAY Host Adapter") == 0,
          "operation 14 names the driver \"TW TIWAY Host Adapter\"");
    Check(info.banner != nullptr && std::strlen(info.banner) == 379, "operation 14 gives the 379-byte banner");

    // Operation 1 in host memory of exactly the reported size, followed by a
    // guard area that the module must never write.
    constexpr std::size_t kGuard = 256;
    constexpr unsigned char kGuardByte = 0xA5;
    const std::size_t size = info.instanceSize > 0 ? static_cast<std::size_t>(info.instanceSize) : 0;
    std::vector<unsigned char> memory(size + kGuard, kGuardByte);
    StartRecord start{};
    start.online = 1;
    start.timeout = 100;
    call = CallRecord{};
    call.instance = memory.data();
    call.op = ORV_OP_COLD_START;
    call.channel = 1;
    call.params = &start;
    const std::int32_t coldStatus = orvMain(&call);
    Check(coldStatus == ORV_STATUS_COMM_FAILURE,
          "cold start without \\\\.\\GRELMIN returns 2, got " + std::to_string(coldStatus));
    bool guardIntact = true;
    for (std::size_t i = size; i < memory.size(); ++i) {
        guardIntact = guardIntact && memory[i] == kGuardByte;
    }
    Check(guardIntact, "cold start writes nothing beyond the reported instance size");

    // The link is closed after the failure; stopping it is harmless.
    call.op = ORV_OP_STOP;
    call.params = nullptr;
    const std::int32_t stopStatus = orvMain(&call);
    Check(stopStatus == ORV_STATUS_OK, "operation 11 on the closed link returns 0, got " + std::to_string(stopStatus));

    // Channel 2 with its own initialisation file, written with the CR LF line
    // ends of a Windows editor: the card window must come from the file.
    std::FILE *init = std::fopen("OrvTiw02.int", "wb");
    Check(init != nullptr, "the initialisation file OrvTiw02.int can be written in the working folder");
    if (init != nullptr) {
        std::fputs("D000;0800\r\nW;03;2;1\r\n", init);
        std::fclose(init);
    }
    std::vector<unsigned char> memory2(size, 0);
    call = CallRecord{};
    call.instance = memory2.data();
    call.op = ORV_OP_COLD_START;
    call.channel = 2;
    call.params = &start;
    const std::int32_t coldStatus2 = orvMain(&call);
    Check(coldStatus2 == ORV_STATUS_COMM_FAILURE,
          "cold start of channel 2 returns 2, got " + std::to_string(coldStatus2));
    std::remove("OrvTiw02.int");

    Check(FreeLibrary(module) != 0, "FreeLibrary releases the module");

    std::fflush(stderr);
    const std::vector<std::string> lines = ReadLines(logPath);
    const long opened = FindLine(lines, "32 ORV01: TIW: Error opening GRELMIN driver");
    Check(opened >= 0, "err received \"32 ORV01: TIW: Error opening GRELMIN driver\"");
    const bool nextIsOpenCom =
        opened >= 0 && static_cast<std::size_t>(opened) + 1 < lines.size() &&
        lines[static_cast<std::size_t>(opened) + 1] == "32 ORV01: TIW: OpenCom() Unable to open GRELMIN driver";
    Check(nextIsOpenCom, "the next line is \"32 ORV01: TIW: OpenCom() Unable to open GRELMIN driver\"");
    const bool thenColdStart = nextIsOpenCom && static_cast<std::size_t>(opened) + 2 < lines.size() &&
                               lines[static_cast<std::size_t>(opened) + 2].rfind(
                                   "32 ORV01: TIW: ColdStart(): Failed to open card at 0x", 0) == 0;
    Check(thenColdStart, "then ColdStart reports the card segment it failed to open");

    Check(FindLine(lines, "32 ORV02: TIW: ColdStart(): Failed to open card at 0xD000") >= 0,
          "channel 2 tries the card segment of its CR LF initialisation file, 0xD000");
    Check(FindLine(lines, "32 ORV02: TIW: ColdStart(): Failed to read init file, using defaults") < 0,
          "channel 2 reads its initialisation file without falling back to the defaults");

    std::printf("--- err output (%zu lines)\n", lines.size());
    for (const std::string &line : lines) {
        std::printf("%s\n", line.c_str());
    }
    std::printf("--- %d checks, %d failed\n", gChecks, gFailures);
    return gFailures == 0 ? 0 : 1;
}
