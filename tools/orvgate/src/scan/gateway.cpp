#include "scan/gateway.h"

#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "map/map_check.h"

namespace orvgate {
namespace {

using orvtiw::host::Channel;
using orvtiw::host::Failure;
using orvtiw::host::FailureKind;

std::string BlockName(const ScanBlock &b) {
    return "channel " + std::to_string(b.span.channel) + " " + b.address + " x " + std::to_string(b.span.units);
}

} // namespace

Gateway::Gateway(ModuleLoader loader, GatewaySettings settings)
    : loader_(std::move(loader)), settings_(settings),
      cache_(std::make_unique<ValueCache>(std::vector<std::int32_t>{})),
      values_(std::make_unique<PointValues>(ranges_, plan_, *cache_, settings_.maxAge, settings_.readOnly)) {
    shared_.ranges = &ranges_;
    shared_.plan = &plan_;
    shared_.cache = cache_.get();
    shared_.writes = &writes_;
    shared_.handOn = [this](std::shared_ptr<Job> job) {
        CardDriver *card = CardOf(ranges_[job->writes[job->nextStep].range].span.channel);
        if (card == nullptr) {
            job->failure.text = "no card serves its channel";
            EndJob(job, JobResult::Failed, writes_);
            return;
        }
        if (!card->Jobs().Push(job)) {
            EndJob(job, JobResult::Failed, writes_);
        }
    };
    shared_.targetFailing = [this](std::size_t range) { return TargetFailing(range); };
}

Gateway::~Gateway() {
    Stop();
}

bool Gateway::StartChannels(const std::vector<ChannelStart> &starts, std::vector<Started> &out, std::string &error) {
    // Every channel's OrvTiwNN.int in one private directory, the current
    // one while they start: each cold start reads its own file there, and
    // all of them can run at once.
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "orvgate-init-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        error = "cannot make a directory for the initialisation files: " + std::string(std::strerror(errno));
        return false;
    }
    const fs::path directory = pattern;
    struct Remove {
        fs::path path;
        ~Remove() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } removal{directory};
    for (const ChannelStart &s : starts) {
        const fs::path file = directory / orvtiw::host::InitFileName(s.number);
        std::error_code ec;
        if (s.initFile) {
            if (!fs::is_regular_file(*s.initFile, ec)) {
                error = "channel " + std::to_string(s.number) + ": initialisation file " + *s.initFile +
                        " is not a readable file";
                return false;
            }
            fs::copy_file(*s.initFile, file, ec);
        } else {
            std::ofstream(file, std::ios::binary) << s.initText;
        }
        if (ec) {
            error = "channel " + std::to_string(s.number) + ": cannot copy " + s.initFile.value_or("") + ": " +
                    ec.message();
            return false;
        }
        auto module = loader_(error);
        if (module == nullptr) {
            error = "channel " + std::to_string(s.number) + ": " + error;
            return false;
        }
        out.push_back(Started{std::make_unique<Channel>(std::move(module), s.number), {}});
    }
    std::error_code ec;
    const fs::path previous = fs::current_path(ec);
    fs::current_path(directory, ec);
    if (ec) {
        error = "cannot enter " + directory.string() + ": " + ec.message();
        return false;
    }
    // Every card at once: a card that does not answer its reset holds up
    // only its own start.
    std::vector<std::thread> threads;
    for (Started &s : out) {
        threads.emplace_back([this, &s] {
            orvtiw::host::StartOptions start;
            start.online = settings_.online;
            start.timeoutUnits = (settings_.timeoutMs + 9) / 10;
            s.result = s.channel->ColdStart(start);
            // A cold start sets a reply time-out of at least 1000 ms; only operation 15 sets less.
            s.channel->SetTimeout(start.timeoutUnits);
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    fs::current_path(previous, ec);
    for (const Started &s : out) {
        if (!s.result.problem.empty()) {
            error = "channel " + std::to_string(s.channel->Number()) + ": " + s.result.problem;
            return false;
        }
        for (const orvtiw::host::LogLine &line : s.result.log) {
            if (settings_.verbose || (settings_.online && line.level >= 32)) {
                std::fprintf(stderr, "driver: %d %s\n", line.level, line.text.c_str());
            }
        }
    }
    return true;
}

bool Gateway::StartMapped(const MapFile &map, const std::filesystem::path &mapDirectory, int reservedUnit,
                          std::string &error) {
    std::vector<ChannelStart> starts;
    for (const ChannelLine &c : map.channels) {
        starts.push_back(ChannelStart{c.number, (mapDirectory / c.initFile).string(), {}});
    }
    std::vector<Started> started;
    bool ok = StartChannels(starts, started, error);
    if (!ok) {
        for (const ChannelLine &c : map.channels) {
            if (error.rfind("channel " + std::to_string(c.number) + ":", 0) == 0) {
                error = "line " + std::to_string(c.line) + ": " + error;
            }
        }
    }
    if (ok) {
        const AddressCheck check = [&started](std::int32_t channel, const std::string &address,
                                              orvtiw::host::ValueType type, std::int32_t count, bool block) {
            for (Started &s : started) {
                if (s.channel->Number() == channel) {
                    return block ? s.channel->CheckBlock(address, type, count) : s.channel->Check(address, type, count);
                }
            }
            orvtiw::host::CheckResult none;
            none.problem = "no such channel";
            return none;
        };
        classes_ = ScanClasses(map.classes, settings_.scanPeriod, settings_.maxAge);
        auto checked = CheckMap(map, check, reservedUnit, error);
        ok = checked.has_value();
        if (ok) {
            ranges_ = std::move(*checked);
            ok = PlanScan(started, error);
        }
    }
    if (!ok) {
        for (Started &s : started) {
            s.channel->Stop();
        }
    }
    return ok;
}

bool Gateway::StartTransparent(std::int32_t channel, const std::string &initText, std::string &error) {
    std::vector<Started> started;
    if (!StartChannels({ChannelStart{channel, std::nullopt, initText}}, started, error)) {
        return false;
    }
    return PlanScan(started, error);
}

bool Gateway::PlanScan(std::vector<Started> &started, std::string &error) {
    plan_ = BuildScanPlan(ranges_, settings_.coalesce);
    std::vector<orvtiw::host::Gate> gates(plan_.blocks.size());
    std::vector<std::int32_t> sizes;
    for (std::size_t b = 0; b < plan_.blocks.size(); ++b) {
        const ScanBlock &block = plan_.blocks[b];
        sizes.push_back(block.span.units);
        for (Started &s : started) {
            if (s.channel->Number() != block.span.channel) {
                continue;
            }
            const orvtiw::host::CheckResult gate =
                s.channel->CheckBlock(block.address, block.checkType, block.span.units);
            if (!gate.ok()) {
                error = "the driver refused the scan's read of " + BlockName(block) + ": " + RefusalReason(gate);
                return false;
            }
            gates[b] = gate.gate;
        }
    }
    cache_ = std::make_unique<ValueCache>(sizes);
    shared_.cache = cache_.get();
    if (classes_.empty()) {
        classes_ = ScanClasses({}, settings_.scanPeriod, settings_.maxAge);
    }
    values_ = std::make_unique<PointValues>(ranges_, plan_, *cache_, settings_.maxAge, settings_.readOnly, classes_);
    localOf_.assign(plan_.blocks.size(), 0);
    CardSettings card;
    card.retry = settings_.retry;
    card.classes = classes_;
    card.verbose = settings_.verbose;
    for (Started &s : started) {
        const std::int32_t number = s.channel->Number();
        std::vector<std::size_t> blocks = plan_.BlocksOf(number);
        std::vector<orvtiw::host::Gate> own;
        for (std::size_t local = 0; local < blocks.size(); ++local) {
            own.push_back(gates[blocks[local]]);
            localOf_[blocks[local]] = local;
        }
        const std::int32_t warmSecondary = blocks.empty() ? 1 : plan_.blocks[blocks.front()].span.secondary;
        const bool online = settings_.online;
        orvtiw::host::Result result = online ? s.result : orvtiw::host::Result{ORV_STATUS_OK, {}, {}};
        cards_.push_back(std::make_unique<CardDriver>(std::move(s.channel), std::move(blocks), std::move(own),
                                                      warmSecondary, result, card, shared_));
    }
    return true;
}

void Gateway::AddObserver(CoreObserver *observer) {
    shared_.observers.push_back(observer);
}

void Gateway::Run() {
    if (running_ || !settings_.online) {
        return;
    }
    running_ = true;
    for (auto &card : cards_) {
        card->Start();
    }
}

bool Gateway::WaitReady(Clock::duration limit) const {
    const Clock::time_point until = Clock::now() + limit;
    for (;;) {
        bool all = true;
        for (const auto &card : cards_) {
            all = all && card->Ready();
        }
        if (all) {
            return true;
        }
        if (Clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void Gateway::Stop() {
    for (auto &card : cards_) {
        card->Jobs().Stop(); // every card at once: none waits for another's call to end
    }
    for (auto &card : cards_) {
        card->Stop(); // its last status stays, for the final statistics
    }
    running_ = false;
}

CardDriver *Gateway::CardOf(std::int32_t channel) const {
    for (const auto &card : cards_) {
        if (card->Number() == channel) {
            return card.get();
        }
    }
    return nullptr;
}

std::vector<CardStatus> Gateway::Cards() const {
    std::vector<CardStatus> out;
    for (const auto &card : cards_) {
        out.push_back(card->Status());
    }
    return out;
}

std::vector<std::pair<std::int32_t, const Heartbeat *>> Gateway::Progress() const {
    std::vector<std::pair<std::int32_t, const Heartbeat *>> out;
    for (const auto &card : cards_) {
        out.emplace_back(card->Number(), &card->Progress());
    }
    return out;
}

std::optional<Failure> Gateway::TargetFailing(std::size_t range) const {
    if (range >= ranges_.size()) {
        return std::nullopt;
    }
    const NetworkSpan &span = ranges_[range].span;
    const CardDriver *card = CardOf(span.channel);
    if (card == nullptr) {
        Failure none;
        none.kind = FailureKind::CardNotAnswering;
        none.text = "no card serves channel " + std::to_string(span.channel);
        return none;
    }
    const CardStatus status = card->Status();
    if (status.health.Failing()) {
        return status.health.last;
    }
    const auto sec = status.secondaries.find(span.secondary);
    if (sec != status.secondaries.end() && sec->second.Failing()) {
        return sec->second.last;
    }
    for (const Piece &p : plan_.pieces[range]) {
        const std::size_t local = localOf_[p.block];
        if (local < status.blocks.size() && status.blocks[local].Failing()) {
            return status.blocks[local].last;
        }
    }
    return std::nullopt;
}

void Gateway::Submit(std::shared_ptr<Job> job) {
    job->queuedAt = Clock::now();
    if (!job->writes.empty() && job->change.empty()) {
        const PointValues::Snapshot before = values_->Look(job->queuedAt);
        for (const WriteStep &step : job->writes) {
            job->change += (job->change.empty() ? " " : "; ") + values_->DescribeStep(step, before);
        }
    }
    job->deadline = job->queuedAt + settings_.writeTimeout;
    std::int32_t channel = 0;
    if (!job->transfers.empty()) {
        channel = job->channel;
    } else if (!job->writes.empty() && job->writes.front().range < ranges_.size()) {
        channel = ranges_[job->writes.front().range].span.channel;
        for (const WriteStep &step : job->writes) {
            // Known to fail: answered at once, not after a wait behind the card's retries.
            if (auto failing = TargetFailing(step.range)) {
                job->failure = *failing;
                EndJob(job, JobResult::Unhealthy, writes_);
                return;
            }
        }
    }
    CardDriver *card = CardOf(channel);
    if (card == nullptr || !running_) {
        job->failure.kind = FailureKind::CardNotAnswering;
        job->failure.text = "no card serves channel " + std::to_string(channel);
        EndJob(job, JobResult::Failed, writes_);
        return;
    }
    if (!job->transfers.empty()) {
        const CardStatus status = card->Status();
        if (status.health.Failing() && Clock::now() < status.health.nextTry) {
            job->failure = status.health.last;
            EndJob(job, JobResult::Unhealthy, writes_);
            return;
        }
    }
    if (!card->Jobs().Push(job)) {
        job->failure.text = "the gateway is stopping";
        EndJob(job, JobResult::Dropped, writes_);
    }
}

} // namespace orvgate
