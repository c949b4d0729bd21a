#include "util/ordered_work.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/allocation_count.h"

namespace {

struct Shape {
  std::size_t threads;
  std::size_t window;
};

class OrderedWorkTest : public ::testing::TestWithParam<Shape> {};

// Item 0 is held back until every other item that fits in the window is
// made, so the workers finish out of order; the consumer must still see 0,
// 1, 2... and no more than `window` results may exist unconsumed.
TEST_P(OrderedWorkTest, ConsumesInOrderWithinTheWindow) {
  const Shape shape = GetParam();
  constexpr std::size_t kCount = 200;
  std::mutex mutex;
  std::condition_variable madeOne;
  std::size_t made = 0;
  std::size_t finishedBeforeZero = 0;
  std::atomic<std::size_t> inFlight{0};
  std::atomic<std::size_t> mostInFlight{0};
  std::vector<std::size_t> seen;
  std::vector<bool> workerSeen(shape.threads);
  OrderedWork<std::size_t> work(shape.threads, shape.window);
  work.run(
      kCount,
      [&](std::size_t i, std::size_t worker) {
        EXPECT_LT(worker, shape.threads);
        std::unique_lock<std::mutex> hold(mutex);
        if (i == 0) {
          madeOne.wait(hold, [&] { return made >= shape.window - 1; });
          finishedBeforeZero = made;
        }
        ++made;
        madeOne.notify_all();
        const std::size_t now = inFlight.fetch_add(1) + 1;
        std::size_t most = mostInFlight.load();
        while (now > most && !mostInFlight.compare_exchange_weak(most, now)) {
        }
        return i * 3;
      },
      [&](std::size_t i, std::size_t result) {
        inFlight.fetch_sub(1);
        EXPECT_EQ(result, i * 3);
        seen.push_back(i);
      });
  ASSERT_EQ(seen.size(), kCount);
  for (std::size_t i = 0; i < kCount; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_EQ(finishedBeforeZero, shape.window - 1);
  EXPECT_LE(mostInFlight.load(), shape.window);
  EXPECT_GE(mostInFlight.load(), shape.window);  // the window was filled, once
}

INSTANTIATE_TEST_SUITE_P(Shapes, OrderedWorkTest,
                         ::testing::Values(Shape{2, 2}, Shape{2, 4}, Shape{3, 6}, Shape{7, 14},
                                           Shape{8, 9}));

// A worker's exception comes out of run() when the consumer reaches its
// index, after everything before it; nothing after it is consumed. With one
// thread the same holds, on the calling thread.
TEST(OrderedWork, AWorkersExceptionIsReportedAtItsIndex) {
  for (const std::size_t threads : {std::size_t{1}, std::size_t{2}, std::size_t{5}}) {
    std::vector<std::size_t> seen;
    OrderedWork<int> work(threads, 2 * threads);
    try {
      work.run(
          50,
          [](std::size_t i, std::size_t) {
            if (i == 17) throw std::runtime_error("item 17");
            return static_cast<int>(i);
          },
          [&](std::size_t i, int) { seen.push_back(i); });
      ADD_FAILURE() << "no exception with " << threads << " threads";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "item 17");
    }
    ASSERT_EQ(seen.size(), 17u) << threads << " threads";
    for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i);
  }
}

// Where no thread can be started (here no address space is left for a
// thread's stack), the work is done all the same, on the calling thread, in
// order. Run in a child, whose limit is its own.
TEST(OrderedWork, NoRoomForAThreadDoesTheWorkHere) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime needs address space of its own";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  GTEST_SKIP() << "a sanitizer's runtime needs address space of its own";
#endif
#endif
  const pid_t child = ::fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    std::size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t room = pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (rlim_t{1} << 20);
    const struct rlimit limit = {room, room};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(3);
    std::vector<std::size_t> seen;
    try {
      OrderedWork<std::size_t> work(4, 8);
      work.run(
          50, [](std::size_t i, std::size_t) { return i; },
          [&](std::size_t i, std::size_t made) {
            if (i == made) seen.push_back(i);
          });
    } catch (...) {
      ::_exit(2);
    }
    ::_exit(seen.size() == 50 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

// Where memory runs out while the threads start (for their slots, their
// storage, or one thread's state), those already started do the work, or,
// where none did, the calling thread: either way every item, in order. Each
// case lets a few more allocations through than the last, so that the run
// fails to start no thread at all, then the first, then a later one.
TEST(OrderedWork, NoMemoryForAThreadLeavesTheWorkToThoseStarted) {
  constexpr std::size_t kCount = 50;
  bool noneStarted = false;
  bool someStarted = false;
  for (std::size_t allowed = 0; allowed <= 8; ++allowed) {
    std::array<std::size_t, kCount> seen{};
    std::size_t consumed = 0;
    std::atomic<std::size_t> here{0};
    std::atomic<std::size_t> elsewhere{0};
    const std::thread::id caller = std::this_thread::get_id();
    bool threw = false;
    const std::size_t refused = allocations::refusingAfter(allowed, [&] {
      try {
        OrderedWork<std::size_t> work(4, 8);
        work.run(
            kCount,
            [&](std::size_t i, std::size_t) {
              ++(std::this_thread::get_id() == caller ? here : elsewhere);
              return i;
            },
            [&](std::size_t i, std::size_t made) {
              if (i == made && consumed < kCount) seen[consumed++] = i;
            });
      } catch (...) {
        threw = true;
      }
    });
    SCOPED_TRACE(allowed);
    EXPECT_FALSE(threw);
    ASSERT_EQ(kCount, consumed);
    for (std::size_t i = 0; i < kCount; ++i) EXPECT_EQ(i, seen[i]);
    if (refused > 0 && elsewhere == 0) noneStarted = true;
    if (refused > 0 && elsewhere > 0) {
      someStarted = true;
      EXPECT_EQ(0u, here.load());  // the threads started did it all
    }
  }
  // The table covered both: no thread at all, and some before one failed.
  EXPECT_TRUE(noneStarted);
  EXPECT_TRUE(someStarted);
}

}  // namespace
