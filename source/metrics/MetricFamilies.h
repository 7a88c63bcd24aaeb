// The gateway's metric families: names, kinds, help texts, labelled flags.
#pragma once

#include "metrics/MetricsRegistry.h"

namespace quorvex {

// Registers all families in their fixed order, then creates the two result
// series of smppDownstreamBindAttempt so that both show before the first bind.
void registerMetrics(MetricsRegistry& registry = metricsRegistry());

} // namespace quorvex
