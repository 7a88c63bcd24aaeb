#include "smpp/TimerHeap.h"

namespace quorvex::smpp {

Timer::~Timer() {
  if (heap_ != nullptr && armed()) {
    heap_->cancel(*this);
  }
}

TimerHeap::~TimerHeap() {
  for (Timer* timer : heap_) {
    timer->heapIndex_ = Timer::kNotArmed;
    timer->heap_ = nullptr;
  }
}

void TimerHeap::arm(Timer& timer, uint64_t deadline) {
  if (timer.armed() && timer.heap_ != this) {
    timer.heap_->cancel(timer);
  }
  timer.heap_ = this;
  timer.deadline_ = deadline;
  timer.order_ = ++order_;
  if (timer.armed()) {
    // Moved: the new deadline may be earlier or later.
    siftUp(timer.heapIndex_);
    siftDown(timer.heapIndex_);
    return;
  }
  heap_.push_back(&timer);
  timer.heapIndex_ = heap_.size() - 1;
  siftUp(timer.heapIndex_);
}

void TimerHeap::cancel(Timer& timer) {
  if (timer.heap_ == this && timer.armed()) {
    removeAt(timer.heapIndex_);
  }
}

void TimerHeap::fireDue(uint64_t now) {
  const uint64_t limit = order_;
  while (!heap_.empty() && heap_.front()->deadline_ <= now && heap_.front()->order_ <= limit) {
    Timer* timer = heap_.front();
    removeAt(0);
    if (timer->handler_ != nullptr) {
      timer->handler_->onTimer(*timer);
    }
  }
}

bool TimerHeap::earlier(const Timer* a, const Timer* b) const {
  return a->deadline_ != b->deadline_ ? a->deadline_ < b->deadline_ : a->order_ < b->order_;
}

void TimerHeap::place(size_t index, Timer* timer) {
  heap_[index] = timer;
  timer->heapIndex_ = index;
}

void TimerHeap::siftUp(size_t index) {
  Timer* timer = heap_[index];
  while (index > 0) {
    const size_t parent = (index - 1) / 2;
    if (!earlier(timer, heap_[parent])) {
      break;
    }
    place(index, heap_[parent]);
    index = parent;
  }
  place(index, timer);
}

void TimerHeap::siftDown(size_t index) {
  Timer* timer = heap_[index];
  const size_t size = heap_.size();
  for (;;) {
    size_t child = index * 2 + 1;
    if (child >= size) {
      break;
    }
    if (child + 1 < size && earlier(heap_[child + 1], heap_[child])) {
      ++child;
    }
    if (!earlier(heap_[child], timer)) {
      break;
    }
    place(index, heap_[child]);
    index = child;
  }
  place(index, timer);
}

void TimerHeap::removeAt(size_t index) {
  Timer* removed = heap_[index];
  removed->heapIndex_ = Timer::kNotArmed;
  Timer* last = heap_.back();
  heap_.pop_back();
  if (index < heap_.size()) {
    place(index, last);
    siftUp(index);
    siftDown(last->heapIndex_);
  }
}

} // namespace quorvex::smpp
