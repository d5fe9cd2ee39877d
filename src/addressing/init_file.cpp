#include "addressing/init_file.h"

#include <cstdio>
#include <cstring>

#include "addressing/messages.h"
#include "addressing/text_scan.h"
#include "channel/logging.h"
#include "channel/status.h"

namespace orvtiw {
namespace {

constexpr int kLineBufferSize = 512;
constexpr std::uint16_t kDefaultWindowSize = 0x800;

// Reads one line of at most 511 characters, line feed included, into a
// cleared buffer; a CR LF pair is read as a line feed. False at end of file.
bool ReadLine(std::FILE *file, char (&line)[kLineBufferSize]) {
    std::memset(line, 0, sizeof line);
    int length = 0;
    while (length < kLineBufferSize - 1) {
        int c = std::getc(file);
        if (c == EOF) {
            break;
        }
        if (c == '\r') {
            const int next = std::getc(file);
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                std::ungetc(next, file);
            }
        }
        line[length++] = static_cast<char>(c);
        if (c == '\n') {
            break;
        }
    }
    return length > 0;
}

// Line 1: "segment;size" in hexadecimal, after any text without a
// hexadecimal digit. False when the line holds no hexadecimal digit.
bool ParseCardWindow(Instance &inst, const char *line) {
    const char *start = line;
    while (*start != '\0' && !IsHexDigit(static_cast<unsigned char>(*start))) {
        ++start;
    }
    if (*start == '\0') {
        return false;
    }
    const char *separator = std::strchr(start, ';');
    inst.cardSegment = static_cast<std::uint16_t>(ParseHexLong(start));
    inst.cardWindowSize =
        separator != nullptr ? static_cast<std::uint16_t>(ParseHexLong(separator + 1)) : kDefaultWindowSize;
    return true;
}

// One region line, "L;TT;S;M" in fixed columns. Logs the first fault and
// returns false, or stores the region and returns true.
bool ParseRegionLine(Instance &inst, char *line) {
    const int channel = static_cast<int>(inst.channel);
    auto at = [line](int i) { return static_cast<unsigned char>(line[i]); };
    line[8] = '\0';

    if (!IsLetter(at(0))) {
        ORV_LOG(kLogConfig, msg::kInvalidApplicationId, channel, at(0));
        return false;
    }
    if (at(0) >= 'a') {
        line[0] = static_cast<char>(at(0) - ('a' - 'A'));
    }
    const int letter = at(0);
    if (!IsHexDigit(at(2)) || !IsHexDigit(at(3))) {
        ORV_LOG(kLogConfig, msg::kInvalidTt, channel, at(2), at(3));
        return false;
    }
    if (!IsDecimalDigit(at(5))) {
        ORV_LOG(kLogConfig, msg::kInvalidElementSizeChar, channel, at(5));
        return false;
    }
    if (!IsDecimalDigit(at(7))) {
        ORV_LOG(kLogConfig, msg::kAssumingSingleMultiple, channel, letter);
        line[6] = ';';
        line[7] = '1';
    }
    if (at(1) != ';' || at(4) != ';' || at(6) != ';') {
        ORV_LOG(kLogConfig, msg::kInvalidSeparator, channel);
        return false;
    }
    const int tt = HexValue(at(2)) * 16 + HexValue(at(3));
    const int elementBits = 8 * (at(5) - '0');
    const int multiple = at(7) - '0';
    if (elementBits != 8 && elementBits != 16 && elementBits != 32) {
        ORV_LOG(kLogConfig, msg::kInvalidElementSize, channel, at(5));
        return false;
    }
    if (multiple != 1 && multiple != 2) {
        ORV_LOG(kLogConfig, msg::kInvalidMultiple, channel, at(7));
        return false;
    }
    if (multiple == 2 && elementBits != 16) {
        ORV_LOG(kLogConfig, msg::kMultipleOnlyInWords, channel);
        return false;
    }
    RegionDef &region = RegionOf(inst, letter);
    if (region.multiple != 0) {
        ORV_LOG(kLogConfig, msg::kDuplicateRegion, channel, letter);
        return false;
    }
    region.tt = static_cast<std::uint8_t>(tt);
    region.elementBits = elementBits;
    region.multiple = multiple;
    return true;
}

} // namespace

Done ReadInitFile(Instance &inst) {
    char name[32];
    std::snprintf(name, sizeof name, "OrvTiw%02d.int", static_cast<int>(inst.channel));
    std::FILE *file = std::fopen(name, "r");
    if (file == nullptr) {
        return kNotDone;
    }
    char line[kLineBufferSize];
    Done result = kNotDone;
    if (ReadLine(file, line) && ParseCardWindow(inst, line)) {
        result = kDone;
        while (ReadLine(file, line)) {
            if (!ParseRegionLine(inst, line)) {
                result = kNotDone;
                break;
            }
        }
    }
    std::fclose(file);
    return result;
}

} // namespace orvtiw
