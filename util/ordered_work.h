#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

// Work on items 0 to count - 1, produced by several threads and consumed by
// the calling thread strictly in index order, so that what the consumer
// prints and collects is what one thread doing them in turn would.
//
// Each worker takes the next index from a shared counter: a fast core takes
// more items than a slow one, and no worker waits while another holds a
// fixed share of slow items. No worker runs more than `window` indexes ahead
// of the consumer, so at most `window` results, and what each worker holds
// for the item in hand, exist at once, whatever the count. The consumer is
// woken for a batch of results, not for each: a wake costs a switch of a
// processor the workers need, more than most results take to consume.
//
// `produce(index, worker)` makes item `index`'s result on worker `worker`
// (0 to threads - 1), which may keep its own state by that number; it must be
// safe to run on different items at once. `consume(index, result)` runs on
// the calling thread, in order. An exception from `produce` is thrown from
// run() when the consumer reaches its index, after every item before it was
// consumed; one from `consume` is thrown at once. Either way the workers are
// stopped and joined first. With one thread nothing is started: each item is
// produced and consumed in turn on the calling thread. Where a thread cannot
// be started (no room for its stack, or no memory for its state), the ones
// started do the work; where none could be, the calling thread does it so.
template <class Result>
class OrderedWork {
 public:
  OrderedWork(std::size_t threads, std::size_t window)
      : threads_(std::max<std::size_t>(threads, 1)),
        window_(std::max<std::size_t>(window, threads_)) {}

  template <class Produce, class Consume>
  void run(std::size_t count, Produce&& produce, Consume&& consume) {
    const auto inTurn = [&] {
      for (std::size_t i = 0; i < count; ++i) consume(i, produce(i, std::size_t{0}));
    };
    if (threads_ == 1 || count <= 1) return inTurn();
    const std::size_t started = std::min(threads_, count);
    std::vector<std::thread> workers;
    std::vector<Slot> batch;  // the results the consumer took at once
    try {
      slots_.assign(window_, Slot{});
      batch.reserve(window_);
      // Reserved before any starts: a vector that grew as each thread
      // started could run out of memory with threads already running.
      workers.reserve(started);
    } catch (const std::bad_alloc&) {
      return inTurn();  // no room for the threads' state: this thread does it all
    }
    next_ = 0;
    consumed_ = 0;
    awaited_ = 0;
    consumerWaiting_ = false;
    stop_ = false;
    const auto joinAll = [&] {
      {
        const std::lock_guard<std::mutex> hold(mutex_);
        stop_ = true;
      }
      room_.notify_all();
      for (std::thread& worker : workers) worker.join();
    };
    try {
      for (std::size_t w = 0; w < started; ++w) {
        try {
          workers.emplace_back([this, w, count, &produce] { work(w, count, produce); });
        } catch (const std::system_error&) {
          break;  // no room for another thread: those started do the work
        } catch (const std::bad_alloc&) {
          break;  // nor for its state, which std::thread allocates: the same
        }
      }
      if (workers.empty()) return inTurn();  // nor for one: this thread does it all
      for (std::size_t i = 0; i < count;) {
        {
          std::unique_lock<std::mutex> hold(mutex_);
          consumed_ = i;  // only now may item i + window be made
          awaited_ = i;
          room_.notify_all();
          consumerWaiting_ = true;
          ready_.wait(hold, [&] { return batchReady(count); });
          consumerWaiting_ = false;
          for (std::size_t j = i; j < count && j < i + window_ && slots_[j % window_].filled; ++j) {
            batch.push_back(std::move(slots_[j % window_]));
            slots_[j % window_] = Slot{};
          }
        }
        for (Slot& slot : batch) {
          if (slot.error) std::rethrow_exception(slot.error);
          consume(i, std::move(*slot.result));
          ++i;
        }
        batch.clear();
      }
    } catch (...) {
      joinAll();
      throw;
    }
    joinAll();
  }

 private:
  struct Slot {
    bool filled = false;
    std::optional<Result> result;
    std::exception_ptr error;
  };

  template <class Produce>
  void work(std::size_t worker, std::size_t count, Produce& produce) {
    for (;;) {
      const std::size_t i = next_.fetch_add(1);
      if (i >= count) return;
      {
        // The consumer must have taken item i - window before item i's slot
        // is used, which also bounds how far ahead the workers run.
        std::unique_lock<std::mutex> hold(mutex_);
        room_.wait(hold, [&] { return stop_ || i < consumed_ + window_; });
        if (stop_) return;
      }
      Slot slot;
      slot.filled = true;
      try {
        slot.result.emplace(produce(i, worker));
      } catch (...) {
        slot.error = std::current_exception();
      }
      bool wake = false;
      {
        const std::lock_guard<std::mutex> hold(mutex_);
        slots_[i % window_] = std::move(slot);
        wake = consumerWaiting_ && i >= awaited_ && batchReady(count);
      }
      if (wake) ready_.notify_one();
    }
  }

  // Whether the consumer has enough to take (under mutex_): the results
  // from awaited_ on, up to a batch of kBatch (fewer at the end, and never
  // more than the window, which the workers can always fill).
  bool batchReady(std::size_t count) const {
    const std::size_t end = std::min({count, awaited_ + kBatch, awaited_ + window_});
    for (std::size_t j = awaited_; j < end; ++j) {
      if (!slots_[j % window_].filled) return false;
    }
    return true;
  }
  static constexpr std::size_t kBatch = 16;

  const std::size_t threads_;
  const std::size_t window_;
  std::vector<Slot> slots_;        // item i's result waits in slot i % window
  std::atomic<std::size_t> next_;  // the next item a worker takes
  std::size_t consumed_ = 0;       // items consumed, under mutex_
  std::size_t awaited_ = 0;        // the next item the consumer takes, under mutex_
  bool consumerWaiting_ = false;   // under mutex_
  bool stop_ = false;              // under mutex_
  std::mutex mutex_;
  std::condition_variable ready_;  // a slot was filled
  std::condition_variable room_;   // the consumer moved on, or the work stops
};
