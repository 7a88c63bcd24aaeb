#include "metrics/MetricsRegistry.h"

#include <algorithm>
#include <charconv>
#include <utility>
#include <vector>

#include "app/Log.h"

namespace quorvex {
namespace {

// A window closes once it is older than this (µs).
constexpr uint64_t kWindowMicros = 999999;

void appendNumber(std::string& out, uint64_t value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  out.append(buffer, result.ptr);
}

std::string_view familyOf(std::string_view series) { return series.substr(0, series.find('{')); }

// Whether the window opened at `start` has closed by `now`. The time of an
// update is read before the lock, so a racing update or a scrape may already
// have opened a window after it; such a late reading (or a clock stepped
// back) falls in the open window instead of wrapping round to a huge age.
bool windowClosed(uint64_t now, uint64_t start) {
  return now > start && now - start > kWindowMicros;
}

} // namespace

MetricsRegistry::MetricsRegistry(Clock clock) : clock_(clock != nullptr ? clock : &passNowMicros) {}

void MetricsRegistry::setClock(Clock clock) {
  std::lock_guard<std::mutex> guard(mutex_);
  clock_ = clock != nullptr ? clock : &passNowMicros;
}

// Nodes never move, so the series' atomics and locks stay where references
// point.
template <class V> V& MetricsRegistry::series(SeriesMap<V>& map, std::string_view name) {
  auto it = map.find(name);
  if (it == map.end()) {
    it = map.try_emplace(std::string(name)).first;
  }
  return it->second;
}

void MetricsRegistry::Rate::restart(uint64_t now) {
  std::lock_guard<std::mutex> guard(mutex);
  publishedTime = now - 1000000;
  publishedCount = 0;
  windowCount.store(0, std::memory_order_relaxed);
  windowStart.store(now, std::memory_order_release);
}

bool MetricsRegistry::Rate::closeIfOver(uint64_t now, uint64_t opening) {
  const uint64_t start = windowStart.load(std::memory_order_relaxed);
  if (!windowClosed(now, start)) {
    return false;
  }
  // An add racing with the exchange lands in one window or the other, never
  // in neither.
  publishedTime = start;
  publishedCount = windowCount.exchange(opening, std::memory_order_relaxed);
  windowStart.store(now, std::memory_order_release);
  return true;
}

void MetricsRegistry::registerHelp(std::string_view name, std::string_view help, bool labelled) {
  series(help_, name) = std::string(help);
  series(labelled_, name) = labelled;
}

// A series updated before registration (the Tracker's map-size gauge, set
// when "msgtrack" is loaded during static initialisation) keeps its value.
void MetricsRegistry::registerCounter(std::string_view name, std::string_view help, bool labelled) {
  std::lock_guard<std::mutex> guard(mutex_);
  registerHelp(name, help, labelled);
  series(counters_, name);
}

void MetricsRegistry::registerGauge(std::string_view name, std::string_view help, bool labelled) {
  std::lock_guard<std::mutex> guard(mutex_);
  registerHelp(name, help, labelled);
  series(gauges_, name);
}

void MetricsRegistry::registerRate(std::string_view name, std::string_view help, bool labelled) {
  const uint64_t now = clock_();
  std::lock_guard<std::mutex> guard(mutex_);
  registerHelp(name, help, labelled);
  if (rates_.find(name) == rates_.end()) {
    series(rates_, name).restart(now);
  }
}

MetricsRegistry::Update::Update(MetricsRegistry& registry)
    : registry_(registry), now_(registry.clock_()), guard_(registry.mutex_, std::defer_lock) {}

void MetricsRegistry::Update::lockForNames() {
  if (!guard_.owns_lock()) {
    guard_.lock();
  }
}

MetricsRegistry::CounterRef MetricsRegistry::Update::counterRef(std::string_view name) {
  lockForNames();
  return &series(registry_.counters_, name);
}

MetricsRegistry::GaugeRef MetricsRegistry::Update::gaugeRef(std::string_view name) {
  lockForNames();
  return &series(registry_.gauges_, name);
}

MetricsRegistry::RateRef MetricsRegistry::Update::rateRef(std::string_view name) {
  lockForNames();
  return &series(registry_.rates_, name);
}

void MetricsRegistry::Update::counterIncrement(std::string_view name) {
  counterIncrement(counterRef(name));
}

void MetricsRegistry::Update::counterIncrement(CounterRef c) {
  c->value.fetch_add(1, std::memory_order_relaxed);
}

void MetricsRegistry::Update::counterReset(std::string_view name) {
  Counter& c = *counterRef(name);
  c.value.store(0, std::memory_order_relaxed);
}

void MetricsRegistry::Update::gaugeAdd(std::string_view name, int64_t delta) {
  gaugeAdd(gaugeRef(name), delta);
}

void MetricsRegistry::Update::gaugeAdd(GaugeRef g, int64_t delta) {
  // Wrapping arithmetic: the value is exposed as its unsigned reading anyway.
  g->value.fetch_add(delta, std::memory_order_relaxed);
}

void MetricsRegistry::Update::gaugeSet(std::string_view name, int64_t value) {
  gaugeSet(gaugeRef(name), value);
}

void MetricsRegistry::Update::gaugeSet(GaugeRef g, int64_t value) {
  g->value.store(value, std::memory_order_relaxed);
}

void MetricsRegistry::Update::rateIncrement(std::string_view name) { rateIncrement(rateRef(name)); }

void MetricsRegistry::Update::rateIncrement(RateRef rate) {
  Rate& r = *rate;
  if (!windowClosed(now_, r.windowStart.load(std::memory_order_acquire))) {
    r.windowCount.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  std::lock_guard<std::mutex> guard(r.mutex);
  if (!r.closeIfOver(now_, 1)) {
    r.windowCount.fetch_add(1, std::memory_order_relaxed); // another thread just closed it
  }
}

void MetricsRegistry::Update::rateReset(std::string_view name) { rateRef(name)->restart(now_); }

void MetricsRegistry::counterIncrement(std::string_view name) {
  Update(*this).counterIncrement(name);
}

void MetricsRegistry::counterReset(std::string_view name) { Update(*this).counterReset(name); }
void MetricsRegistry::gaugeIncrement(std::string_view name) { Update(*this).gaugeAdd(name, 1); }
void MetricsRegistry::gaugeDecrement(std::string_view name) { Update(*this).gaugeAdd(name, -1); }
void MetricsRegistry::gaugeSet(std::string_view name, int64_t value) {
  Update(*this).gaugeSet(name, value);
}
void MetricsRegistry::rateIncrement(std::string_view name) { Update(*this).rateIncrement(name); }
void MetricsRegistry::rateReset(std::string_view name) { Update(*this).rateReset(name); }

uint64_t MetricsRegistry::counterValue(std::string_view name) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = counters_.find(name);
  return it == counters_.end() ? 0 : it->second.value.load(std::memory_order_relaxed);
}

int64_t MetricsRegistry::gaugeValue(std::string_view name) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = gauges_.find(name);
  return it == gauges_.end() ? 0 : it->second.value.load(std::memory_order_relaxed);
}

// Families in ascending byte order; within a family the series keep the map's
// iteration order (stable sort). Costs one vector of pointers per kind.
template <class V, class Print>
void MetricsRegistry::renderKind(std::string& out, SeriesMap<V>& map, const char* typeLine,
                                 Print print) {
  std::vector<std::pair<std::string_view, std::pair<const std::string, V>*>> entries;
  entries.reserve(map.size());
  for (auto& entry : map) {
    entries.emplace_back(familyOf(entry.first), &entry);
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 0; i < entries.size();) {
    const std::string_view family = entries[i].first;
    auto help = help_.find(family);
    if (help != help_.end()) {
      out.append("# HELP ").append(prefix_).append(family).append(" ").append(help->second);
      out.append("\n# TYPE ").append(prefix_).append(family).append(typeLine);
    }
    for (; i < entries.size() && entries[i].first == family; ++i) {
      const std::string& name = entries[i].second->first;
      auto labelled = labelled_.find(name);
      if (labelled != labelled_.end() && labelled->second) {
        continue;
      }
      out.append(prefix_).append(name).append(" ");
      print(out, entries[i].second->second);
      out.append("\n");
    }
    out.append("\n");
  }
}

std::string MetricsRegistry::renderMetrics() {
  std::lock_guard<std::mutex> guard(mutex_);
  const uint64_t stamp = clock_() / 1000;
  std::string out;
  out.reserve(256 * (counters_.size() + gauges_.size() + rates_.size()) + 1024);
  renderKind(out, counters_, " counter\n", [stamp](std::string& o, const Counter& c) {
    appendNumber(o, c.value.load(std::memory_order_relaxed));
    o.append(" ");
    appendNumber(o, stamp);
  });
  renderKind(out, gauges_, " gauge\n", [stamp](std::string& o, const Gauge& g) {
    appendNumber(o, static_cast<uint64_t>(g.value.load(std::memory_order_relaxed)));
    o.append(" ");
    appendNumber(o, stamp);
  });
  renderKind(out, rates_, " gauge\n", [this](std::string& o, Rate& r) {
    const uint64_t now = clock_();
    std::lock_guard<std::mutex> rateGuard(r.mutex);
    r.closeIfOver(now, 0);
    appendNumber(o, r.publishedCount);
    o.append(" ");
    appendNumber(o, r.publishedTime / 1000);
  });
  return out;
}

MetricsRegistry& metricsRegistry() {
  static MetricsRegistry registry;
  return registry;
}

} // namespace quorvex
