#include "network_config.h"

#include <cstdio>
#include <span>
#include <string_view>

#include "element_values.h"
#include "reply_codes.h"
#include "text_fields.h"

using orvtiw::text::ParseHex;
using orvtiw::text::ParseNumber;
using orvtiw::text::SplitFields;

namespace tiwaysim {
namespace {

// Longer lines are refused rather than read without end.
constexpr std::size_t kMaxLine = 8192;
// Values written per line of a memory file.
constexpr std::uint32_t kValuesPerLine = 16;

class Reader {
  public:
    Reader(std::vector<CardPlan> &cards, bool memoryOnly) : cards_(cards), memoryOnly_(memoryOnly) {}

    bool Run(std::istream &in, std::string &error) {
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            std::string problem;
            if (line.size() > kMaxLine) {
                problem = "line too long";
            } else {
                problem = Line(SplitFields(line));
            }
            if (!problem.empty()) {
                error = "line " + std::to_string(number) + ": " + problem;
                return false;
            }
        }
        return true;
    }

  private:
    std::string Line(const std::vector<std::string_view> &f) {
        if (f.empty()) {
            return {};
        }
        if (f[0] == "card") {
            return Card(f);
        }
        if (f[0] == "secondary") {
            return Secondary(f);
        }
        if (f[0] == "region" && !memoryOnly_) {
            return RegionLine(f);
        }
        if (f[0] == "value") {
            return Value(f);
        }
        return "unknown line '" + std::string(f[0]) + "'";
    }

    std::string Card(const std::vector<std::string_view> &f) {
        const auto segment = f.size() == 2 ? ParseHex(f[1], 0xFFFF) : std::nullopt;
        if (!segment) {
            return "expected: card SEGMENT (hex, e.g. C800)";
        }
        CardPlan *card = FindCard(cards_, static_cast<std::uint16_t>(*segment));
        if (card == nullptr && !memoryOnly_) {
            cards_.push_back(CardPlan{static_cast<std::uint16_t>(*segment), Network{}});
            card = &cards_.back();
        }
        // An index, not a pointer: a later card line may grow the vector.
        cardIndex_ = card != nullptr ? static_cast<std::size_t>(card - cards_.data()) : kNoCard;
        cardSeen_ = true;
        secondarySeen_ = false;
        controller_ = nullptr;
        return {};
    }

    std::string Secondary(const std::vector<std::string_view> &f) {
        if (!cardSeen_) {
            return "secondary before any card line";
        }
        const auto address = f.size() >= 2 ? ParseNumber(f[1], kMaxSecondary) : std::nullopt;
        const bool defaults = f.size() == 3 && f[2] == "defaults";
        if (!address || *address < kMinSecondary || f.size() > 3 || (f.size() == 3 && !defaults)) {
            return "expected: secondary ADDRESS(1..31) [defaults]";
        }
        const int a = static_cast<int>(*address);
        CardPlan *card = cardIndex_ != kNoCard ? &cards_[cardIndex_] : nullptr;
        if (card == nullptr) {
            controller_ = nullptr;
        } else if (memoryOnly_) {
            controller_ = card->network.At(a);
        } else {
            if (card->network.At(a) != nullptr) {
                return "secondary " + std::to_string(a) + " given twice";
            }
            controller_ = card->network.Add(a);
            if (defaults) {
                AddDefaultRegions(*controller_);
            }
        }
        secondarySeen_ = true;
        return {};
    }

    std::string RegionLine(const std::vector<std::string_view> &f) {
        if (!secondarySeen_) {
            return "region before any secondary line";
        }
        const char *usage = "expected: region CODE BITS(8|16|32) COUNT(1..65535) [NAME]";
        if (f.size() < 4 || f.size() > 5) {
            return usage;
        }
        const std::uint32_t code = ParseNumber(f[1], 0xFF).value_or(0x100);
        const std::uint32_t bits = ParseNumber(f[2], 32).value_or(0);
        const std::uint32_t count = ParseNumber(f[3], kMaxRegionElements).value_or(0);
        if (code > 0xFF || (bits != 8 && bits != 16 && bits != 32)) {
            return usage;
        }
        const std::string name = f.size() == 5 ? std::string(f[4]) : std::string();
        if (!controller_->AddRegion(static_cast<std::uint8_t>(code), static_cast<std::uint8_t>(bits / 8), count,
                                    name)) {
            return usage;
        }
        return {};
    }

    std::string Value(const std::vector<std::string_view> &f) {
        if (!secondarySeen_) {
            return "value before any secondary line";
        }
        const auto code = f.size() >= 4 ? ParseNumber(f[1], 0xFF) : std::nullopt;
        const auto first = f.size() >= 4 ? ParseNumber(f[2], kMaxRegionElements) : std::nullopt;
        if (!code || !first) {
            return "expected: value CODE ELEMENT VALUE...";
        }
        Region *region = controller_ != nullptr ? controller_->Find(static_cast<std::uint8_t>(*code)) : nullptr;
        if (region == nullptr) {
            return memoryOnly_ ? std::string() : "value for a region this secondary does not have";
        }
        std::string problem;
        const auto values = ParseElementValues(std::span(f).subspan(3), *region, problem);
        if (!values) {
            return problem;
        }
        if (!region->Covers(*first, static_cast<std::uint32_t>(values->size()))) {
            return memoryOnly_ ? std::string() : "value past the end of the region";
        }
        for (std::size_t i = 0; i < values->size(); ++i) {
            region->Set(*first + static_cast<std::uint32_t>(i), (*values)[i]);
        }
        return {};
    }

    std::vector<CardPlan> &cards_;
    bool memoryOnly_;
    static constexpr std::size_t kNoCard = static_cast<std::size_t>(-1);
    std::size_t cardIndex_ = kNoCard;
    Controller *controller_ = nullptr;
    bool cardSeen_ = false;
    bool secondarySeen_ = false;
};

} // namespace

bool ReadNetworkConfig(std::istream &in, std::vector<CardPlan> &cards, std::string &error) {
    return Reader(cards, false).Run(in, error);
}

bool ApplyMemory(std::istream &in, std::vector<CardPlan> &cards, std::string &error) {
    return Reader(cards, true).Run(in, error);
}

void WriteMemory(std::ostream &out, const std::vector<CardPlan> &cards) {
    char buf[32];
    for (const CardPlan &card : cards) {
        std::snprintf(buf, sizeof buf, "card %04X\n", card.segment);
        out << buf;
        for (int a = kMinSecondary; a <= kMaxSecondary; ++a) {
            const Controller *c = card.network.At(a);
            if (c == nullptr) {
                continue;
            }
            out << "secondary " << a << "\n";
            for (const Region &r : c->regions()) {
                std::uint32_t e = 1;
                while (e <= r.count()) {
                    if (r.Get(e) == 0) {
                        ++e;
                        continue;
                    }
                    std::snprintf(buf, sizeof buf, "value 0x%02X %u", r.code, e);
                    out << buf;
                    for (std::uint32_t k = 0; k < kValuesPerLine && e <= r.count() && r.Get(e) != 0; ++k, ++e) {
                        std::snprintf(buf, sizeof buf, " 0x%X", r.Get(e));
                        out << buf;
                    }
                    out << "\n";
                }
            }
        }
    }
}

CardPlan *FindCard(std::vector<CardPlan> &cards, std::uint16_t segment) {
    for (CardPlan &c : cards) {
        if (c.segment == segment) {
            return &c;
        }
    }
    return nullptr;
}

} // namespace tiwaysim
