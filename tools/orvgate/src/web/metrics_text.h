// The gateway's figures in Prometheus's text exposition format, for
// /metrics: prefixed orvgate_, in base units (seconds), counters ending in
// _total, with channel, secondary and outcome as labels; a state as one
// series per state, 1 for the one it is in.
#pragma once

#include <string>

#include "web/gate_figures.h"

namespace orvgate::web {

std::string MetricsText(const GateFigures &figures);

} // namespace orvgate::web
