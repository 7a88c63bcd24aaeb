#include "cdr/CDRShells.h"

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
    // One by one: a push_back that throws leaves its element where it was.
    while (!shared.spare.empty() && supply.size() < kBatch) {
      supply.push_back(std::move(shared.spare.back()));
      shared.spare.pop_back();
    }
  }
  if (supply.empty()) {
    return std::make_unique<CDRRecord>();
  }
  OpenCDR shell = std::move(supply.back());
  supply.pop_back();
  return shell != nullptr ? std::move(shell) : std::make_unique<CDRRecord>();
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
    while (!returned.empty() && shared.spare.size() < kKeptShells) {
      shared.spare.push_back(std::move(returned.back()));
      returned.pop_back();
    }
  }
  returned.clear(); // frees those beyond the bound
}

} // namespace quorvex
