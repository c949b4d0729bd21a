#include "util/ordered_work.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <stdexcept>
#include <vector>

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

}  // namespace
