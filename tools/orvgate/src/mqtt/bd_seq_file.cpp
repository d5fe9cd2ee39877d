#include "mqtt/bd_seq_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include <unistd.h>

namespace orvgate::mqtt {

BdSeqFile::BdSeqFile(std::string path) : path_(std::move(path)) {}

std::uint8_t BdSeqFile::Reserve(std::string &warning) {
    warning.clear();
    if (have_ && !sent_) {
        return last_;
    }
    if (!loaded_ && !path_.empty()) {
        loaded_ = true;
        std::ifstream in(path_);
        if (in) {
            // At most a few bytes are taken: a number 0..255 and a newline.
            char text[8] = {};
            in.read(text, sizeof text - 1);
            const std::string s(text, static_cast<std::size_t>(in.gcount()));
            std::size_t used = 0;
            unsigned long value = 256;
            if (!s.empty() && s[0] >= '0' && s[0] <= '9') {
                value = std::stoul(s, &used);
            }
            while (used < s.size() && (s[used] == '\n' || s[used] == '\r' || s[used] == ' ')) {
                ++used;
            }
            if (value <= 255 && used == s.size()) {
                have_ = true;
                last_ = static_cast<std::uint8_t>(value);
            } else {
                warning = "bdSeq file " + path_ + " holds no number 0..255; starting again from 0";
            }
        }
    }
    const std::uint8_t next = have_ ? static_cast<std::uint8_t>(last_ + 1u) : 0;
    have_ = true;
    sent_ = false;
    last_ = next;
    if (path_.empty()) {
        return next;
    }
    // Written whole to a neighbour, then renamed over the file, so that a
    // crash halfway leaves the old number rather than half of a new one.
    const std::string temp = path_ + ".new";
    std::FILE *f = std::fopen(temp.c_str(), "w");
    bool ok = f != nullptr && std::fprintf(f, "%u\n", static_cast<unsigned>(next)) > 0;
    if (f != nullptr) {
        ok = std::fflush(f) == 0 && fsync(fileno(f)) == 0 && ok;
        ok = std::fclose(f) == 0 && ok;
    }
    if (!ok || std::rename(temp.c_str(), path_.c_str()) != 0) {
        warning = "cannot write bdSeq file " + path_ + ": " + std::strerror(errno) + "; bdSeq goes on in memory";
        std::remove(temp.c_str());
    }
    return next;
}

} // namespace orvgate::mqtt
