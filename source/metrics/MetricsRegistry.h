// The process-wide registry of Prometheus counters, gauges and one-second
// rates, and its text exposition for "/metrics".
//
// Series are keyed by their full name: the family, optionally followed by a
// label set in braces. Look-ups take a string_view (heterogeneous hashing), so
// an update of an existing series allocates nothing; only the first update of
// a new series copies its name into the map.
//
// The registry mutex guards the maps (look-up by name, creation, rendering).
// A series reached through a resolved reference is updated without it:
// counters and gauges are atomics, a rate has a lock of its own, so the
// traffic threads do not queue on one lock per message.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quorvex {

class MetricsRegistry {
public:
  // Wall-clock microseconds; replaceable so that tests can drive rate windows.
  using Clock = uint64_t (*)();

  explicit MetricsRegistry(Clock clock = nullptr);
  MetricsRegistry(const MetricsRegistry&) = delete;
  MetricsRegistry& operator=(const MetricsRegistry&) = delete;

  void setClock(Clock clock);

  // Registration: stores help text and labelled flag and creates the bare
  // series when absent (value 0; rates with an empty window opened now).
  void registerCounter(std::string_view name, std::string_view help, bool labelled);
  void registerGauge(std::string_view name, std::string_view help, bool labelled);
  void registerRate(std::string_view name, std::string_view help, bool labelled);

  // Primitives, each under the mutex for its whole duration.
  void counterIncrement(std::string_view series);
  void counterReset(std::string_view series);
  void gaugeIncrement(std::string_view series);
  void gaugeDecrement(std::string_view series);
  void gaugeSet(std::string_view series, int64_t value);
  void rateIncrement(std::string_view series);
  void rateReset(std::string_view series);

  // The Prometheus text of every exposed series.
  std::string renderMetrics();

  struct Counter;
  struct Gauge;
  struct Rate;
  // A series resolved once: updating it through the reference costs no name
  // building, no hashing and no registry lock. Series are never removed, so a
  // reference stays valid for the registry's life.
  using CounterRef = Counter*;
  using GaugeRef = Gauge*;
  using RateRef = Rate*;

  // Several primitives with one clock reading; the registry lock is taken at
  // the first primitive that names a series, and held to the end.
  class Update {
  public:
    explicit Update(MetricsRegistry& registry);
    // The series, created when absent.
    CounterRef counterRef(std::string_view series);
    GaugeRef gaugeRef(std::string_view series);
    RateRef rateRef(std::string_view series);
    void counterIncrement(CounterRef counter);
    void gaugeSet(GaugeRef gauge, int64_t value);
    void gaugeAdd(GaugeRef gauge, int64_t delta);
    void rateIncrement(RateRef rate);
    void counterIncrement(std::string_view series);
    void counterReset(std::string_view series);
    void gaugeAdd(std::string_view series, int64_t delta);
    void gaugeSet(std::string_view series, int64_t value);
    void rateIncrement(std::string_view series);
    void rateReset(std::string_view series);

  private:
    MetricsRegistry& registry_;
    uint64_t now_;                       // µs, read before the lock is taken
    std::unique_lock<std::mutex> guard_; // the registry lock, once a name is used
    void lockForNames();
  };

  // Test access: the value of one series, 0 when absent.
  uint64_t counterValue(std::string_view series);
  int64_t gaugeValue(std::string_view series);

private:
  struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  template <class V>
  using SeriesMap = std::unordered_map<std::string, V, StringHash, std::equal_to<>>;

public:
  struct Counter {
    std::atomic<uint64_t> value{0}; // events counted
  };
  struct Gauge {
    std::atomic<int64_t> value{0}; // current level
  };
  // An event in the open window is one atomic add; only closing a window
  // (an update or a scrape that finds it over) takes the lock.
  struct Rate {
    std::mutex mutex;                     // serialises closing; taken after the registry lock
    uint64_t publishedTime = 0;           // µs when the last completed window opened; mutex
    uint64_t publishedCount = 0;          // events in the last completed window; mutex
    std::atomic<uint64_t> windowStart{0}; // µs when the open window opened; stored under mutex
    std::atomic<uint64_t> windowCount{0}; // events in the open window so far
    void restart(uint64_t now);           // an empty window opened now, none published
    // Under mutex: publishes the open window if it is over at `now` and
    // opens one holding `opening` events.
    bool closeIfOver(uint64_t now, uint64_t opening);
  };

private:
  template <class V> static V& series(SeriesMap<V>& map, std::string_view name);
  void registerHelp(std::string_view name, std::string_view help, bool labelled);
  template <class V, class Print>
  void renderKind(std::string& out, SeriesMap<V>& map, const char* typeLine, Print print);

  Clock clock_;                           // source of "now"
  std::mutex mutex_;                      // guards everything below
  const std::string prefix_ = "quorvex_"; // put before every exposed name
  SeriesMap<std::string> help_;           // family -> help text
  SeriesMap<bool> labelled_;              // family -> only labelled series are exposed
  SeriesMap<Gauge> gauges_;               // series name -> gauge
  SeriesMap<Counter> counters_;           // series name -> counter
  SeriesMap<Rate> rates_;                 // series name -> rate windows
};

// The process-wide registry; empty until registerMetrics() runs.
MetricsRegistry& metricsRegistry();

} // namespace quorvex
