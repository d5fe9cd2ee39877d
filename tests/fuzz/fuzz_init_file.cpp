// Any bytes as a channel's initialisation file, read once by ReadInitFile on
// a fresh Instance with the predefined regions and once by a cold start
// without a card; both must leave the same, well-formed region table.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "addressing/init_file.h"
#include "channel/instance.h"
#include "fuzz/fuzz_support.h"
#include "support/virtual_platform.h"

using namespace orvtiw;
using namespace orvtiw::fuzz;

namespace {

// Whether the input holds a line start "L;TT;S" (letter in either case) that
// can have defined this region: the first six positions of an accepted line
// are always six consecutive bytes of the file.
bool FileDefines(const std::uint8_t *data, std::size_t size, int letter, const RegionDef &region) {
    char head[16];
    std::snprintf(head, sizeof head, "%c;%02X;%d", letter, region.tt, region.elementBits / 8);
    for (std::size_t i = 0; i + 6 <= size; ++i) {
        bool match = (data[i] == letter || data[i] == letter + ('a' - 'A')) && data[i + 1] == ';' &&
                     data[i + 4] == ';' && data[i + 5] == static_cast<std::uint8_t>(head[5]);
        for (int k = 2; match && k < 4; ++k) {
            const int c = data[i + static_cast<std::size_t>(k)];
            const int upper = c >= 'a' && c <= 'f' ? c - ('a' - 'A') : c;
            match = upper == head[k];
        }
        if (!match) {
            continue;
        }
        if (region.multiple == 1) {
            return true;
        }
        // A double region needs its ";2" written out.
        if (i + 8 <= size && data[i + 6] == ';' && data[i + 7] == '2') {
            return true;
        }
    }
    return false;
}

void CheckRegionTable(const Instance &inst, const std::uint8_t *data, std::size_t size) {
    const RegionDef predefined[] = {{0x01, 16, 1}, {0x03, 8, 1}, {0x04, 8, 1}, {0x05, 8, 1}};
    const char predefinedLetters[] = {'V', 'X', 'Y', 'C'};
    for (int i = 0; i < kRegionCount; ++i) {
        const RegionDef r = inst.regions[i];
        const std::int32_t bits = r.elementBits;
        const std::int32_t multiple = r.multiple;
        FUZZ_CHECK(multiple == 0 || multiple == 1 || multiple == 2);
        if (multiple == 0) {
            // An undefined letter keeps the cleared entry.
            FUZZ_CHECK(r.tt == 0 && bits == 0);
            continue;
        }
        FUZZ_CHECK(bits == 8 || bits == 16 || bits == 32);
        FUZZ_CHECK(multiple == 1 || bits == 16);
        const int letter = 'A' + i;
        bool isPredefined = false;
        for (int k = 0; k < 4; ++k) {
            if (predefinedLetters[k] == letter) {
                isPredefined = true;
                FUZZ_CHECK(std::memcmp(&inst.regions[i], &predefined[k], sizeof(RegionDef)) == 0);
            }
        }
        if (!isPredefined) {
            FUZZ_CHECK(FileDefines(data, size, letter, r));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    QuietLog();
    test::VirtualPlatform platform; // a cold start without a card must not touch the device

    // Channels 0..99 and a three-digit one, which gives a longer file name.
    const int channel = size > 0 && data[0] == 0xFF ? 123 : 7;
    WriteFile(host::InitFileName(channel), data, size);
    InPrivateDirectory here;

    HostChannel direct(channel);
    RegionOf(direct.inst, 'V') = RegionDef{0x01, 16, 1};
    RegionOf(direct.inst, 'X') = RegionDef{0x03, 8, 1};
    RegionOf(direct.inst, 'Y') = RegionDef{0x04, 8, 1};
    RegionOf(direct.inst, 'C') = RegionDef{0x05, 8, 1};
    const int read = ReadInitFile(direct.inst);
    FUZZ_CHECK(read == 0 || read == 1);
    CheckRegionTable(direct.inst, data, size);
    // The reader touches only the card window and the regions.
    FUZZ_CHECK(direct.inst.device == kInvalidDevice && direct.inst.window == nullptr);
    FUZZ_CHECK(direct.inst.channel == static_cast<std::uint32_t>(channel));
    // Reading the same file again gives the same answer.
    HostChannel again(channel);
    std::memcpy(again.inst.regions, direct.inst.regions, sizeof direct.inst.regions);
    for (int i = 0; i < kRegionCount; ++i) {
        const int letter = 'A' + i;
        if (letter != 'V' && letter != 'X' && letter != 'Y' && letter != 'C') {
            again.inst.regions[i] = RegionDef{0, 0, 0};
        }
    }
    FUZZ_CHECK(ReadInitFile(again.inst) == read);
    FUZZ_CHECK(std::memcmp(again.inst.regions, direct.inst.regions, sizeof direct.inst.regions) == 0);

    HostChannel cold(channel);
    std::memset(&cold.inst, 0x5A, static_cast<std::size_t>(kInstanceSize)); // whatever the host left there
    StartRecord start{0, 0, 0, 0, 100};
    FUZZ_CHECK(cold.run(ORV_OP_COLD_START, &start) == 0);
    FUZZ_CHECK(std::memcmp(cold.inst.regions, direct.inst.regions, sizeof direct.inst.regions) == 0);
    const std::uint16_t segment = cold.inst.cardSegment;
    const std::uint16_t windowSize = cold.inst.cardWindowSize;
    if (read == 1) {
        FUZZ_CHECK(segment == direct.inst.cardSegment && windowSize == direct.inst.cardWindowSize);
    } else {
        FUZZ_CHECK(segment == 0xC800 && windowSize == 0x800);
    }
    FUZZ_CHECK(cold.inst.online == 0 && cold.inst.device == kInvalidDevice && cold.inst.window == nullptr);
    FUZZ_CHECK(cold.inst.blockParse == 0);
    for (int a = 0; a < kSecondaryCount; ++a) {
        FUZZ_CHECK(cold.inst.secondaryInUse[a] == 0);
    }
    FUZZ_CHECK(platform.systemCalls() == 0 && platform.sleptMs == 0);
    return 0;
}
