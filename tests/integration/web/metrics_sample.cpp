// Prints the metrics of a made-up gateway with every kind of series in it
// (a failing channel, a secondary failing with it and one on its own, every
// front end on, a label value that needs escaping), for `promtool check
// metrics` to read.
#include <cstdio>

#include "web/metrics_text.h"

int main() {
    using namespace orvgate;
    using namespace std::chrono_literals;
    web::GateFigures f;
    f.now = Clock::now();
    f.wallNow = std::chrono::system_clock::now();
    f.startedAt = f.wallNow - 1h;
    CardStatus good;
    good.channel = 1;
    good.health.state = HealthState::Good;
    good.health.since = f.now - 5s;
    good.secondaries[1].state = HealthState::Good;
    good.secondaries[5].state = HealthState::Failing;
    good.secondaries[5].last.text = "MHIU error \"0104\"\n";
    good.cycles = 1234;
    good.medianCycle = 12ms;
    good.running = 10s;
    good.lineBusy = 9s;
    ClassFigures alarm;
    alarm.period = 200ms;
    alarm.effective = 200ms;
    alarm.achievedMedian = 201ms;
    alarm.busy = 1s;
    alarm.blocks = 16;
    good.classes = {ClassFigures{}, alarm};
    f.classNames = {"default", "alarm"};
    CardStatus lost = good;
    lost.channel = 2;
    lost.health.state = HealthState::Failing;
    f.cards = {good, lost};
    f.writes[0] = 3;
    f.modbus = web::ModbusFigures{};
    f.modbus->exceptionsByCode[0x0B] = 7;
    f.mqtt = web::MqttFigures{};
    f.mqtt->phase = "online";
    f.mqtt->online = true;
    std::fputs(web::MetricsText(f).c_str(), stdout);
    return 0;
}
