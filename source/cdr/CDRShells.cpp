#include "cdr/CDRShells.h"

#include <algorithm>
#include <iterator>
#include <mutex>
#include <vector>

#include "app/SpinningMutex.h"

namespace quorvex {
namespace {

constexpr size_t kBatch = 64;         // records moved per lock
constexpr size_t kKeptShells = 16384; // spare records kept at most

struct Exchange {
  SpinningMutex mutex;        // guards spare
  std::vector<OpenCDR> spare; // handed back, ready for reuse
};

// Never destroyed: a thread's own batches may outlive static destruction.
Exchange& exchange() {
  static Exchange* shared = new Exchange;
  return *shared;
}

thread_local std::vector<OpenCDR> supply;   // taken in a batch, used one by one
thread_local std::vector<OpenCDR> returned; // given back, handed over once a batch is full

} // namespace

OpenCDR takeCDRShell() {
  if (supply.empty()) {
    Exchange& shared = exchange();
    std::lock_guard<SpinningMutex> lock(shared.mutex);
    const size_t n = std::min(kBatch, shared.spare.size());
    std::move(shared.spare.end() - static_cast<std::ptrdiff_t>(n), shared.spare.end(),
              std::back_inserter(supply));
    shared.spare.resize(shared.spare.size() - n);
  }
  if (supply.empty()) {
    return std::make_unique<CDRRecord>();
  }
  OpenCDR shell = std::move(supply.back());
  supply.pop_back();
  return shell;
}

void returnCDRShell(OpenCDR shell) {
  if (shell == nullptr) {
    return;
  }
  *shell = CDRRecord();
  returned.push_back(std::move(shell));
  if (returned.size() < kBatch) {
    return;
  }
  Exchange& shared = exchange();
  {
    std::lock_guard<SpinningMutex> lock(shared.mutex);
    const size_t room = kKeptShells - std::min(kKeptShells, shared.spare.size());
    const size_t n = std::min(room, returned.size());
    std::move(returned.begin(), returned.begin() + static_cast<std::ptrdiff_t>(n),
              std::back_inserter(shared.spare));
  }
  returned.clear(); // frees those beyond the bound
}

} // namespace quorvex
