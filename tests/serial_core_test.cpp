// The rules the imitating serial drivers share: the time-outs of a transfer,
// and how a transfer and the event wait start, end and report.
#include <gtest/gtest.h>

#include "platform/CondEvent.h"
#include "platform/SerialCore.h"

namespace {

using namespace platform;

constexpr std::uint32_t kMax = 0xFFFFFFFFu;

TEST(SerialCoreTest, TransferTimeoutsFollowTheRecord) {
  struct Row {
    const char* what;
    bool read;
    CommTimeouts t;
    std::uint32_t length;
    std::int64_t movedAtUs;  // -1: no byte moved
    std::int64_t nextUs;     // from a start at 1 ms
  };
  const Row rows[] = {
      {"read, no time-outs: never", true, {0, 0, 0, 0, 0}, 10, -1, -1},
      {"read total: multiplier times length plus constant", true, {0, 2, 10, 0, 0}, 5, -1, 1'000 + 20'000},
      {"read interval: not before a byte", true, {7, 0, 0, 0, 0}, 5, -1, -1},
      {"read interval: from the last byte", true, {7, 0, 0, 0, 0}, 5, 4'000, 11'000},
      {"read: the earlier of total and interval", true, {20, 0, 30, 0, 0}, 5, 15'000, 31'000},
      {"read: an interval of MAXDWORD is none", true, {kMax, 0, 0, 0, 0}, 5, 4'000, -1},
      {"write total", false, {0, 0, 0, 1, 3}, 4, -1, 1'000 + 7'000},
      {"write: the read fields do not count", false, {7, 2, 10, 0, 0}, 4, 2'000, -1},
  };
  for (const Row& r : rows) {
    TransferTimeouts x =
        r.read ? TransferTimeouts::Read(r.t, r.length, 1'000) : TransferTimeouts::Write(r.t, r.length, 1'000);
    if (r.movedAtUs >= 0) x.Moved(r.movedAtUs);
    EXPECT_EQ(x.NextUs(), r.nextUs) << r.what;
    if (r.nextUs >= 0) {
      EXPECT_FALSE(x.Expired(r.nextUs - 1)) << r.what;
      EXPECT_TRUE(x.Expired(r.nextUs)) << r.what;
    } else {
      EXPECT_FALSE(x.Expired(1'000'000'000)) << r.what;
    }
  }
  EXPECT_TRUE(TransferTimeouts::ReadReturnsAtOnce({kMax, 0, 0, 0, 0}));
  EXPECT_FALSE(TransferTimeouts::ReadReturnsAtOnce({kMax, 0, 1, 0, 0}));
  EXPECT_FALSE(TransferTimeouts::ReadReturnsAtOnce({kMax, 1, 0, 0, 0}));
  EXPECT_FALSE(TransferTimeouts::ReadReturnsAtOnce({0, 0, 0, 0, 0}));
}

TEST(SerialCoreTest, ATransferResetsItsEventAtTheStartAndSignalsItOnceAtTheEnd) {
  CondSerialEvent done(true, true);
  OverlappedOp op;
  op.Start(done, 8);
  EXPECT_FALSE(done.Wait(0));
  EXPECT_TRUE(op.Running());
  op.transferred = 3;
  EXPECT_TRUE(op.Finish(0));
  EXPECT_TRUE(done.Wait(0));
  done.Reset();
  EXPECT_FALSE(op.Finish(42));
  EXPECT_FALSE(done.Wait(0));
  std::uint32_t n = 0;
  EXPECT_TRUE(op.Outcome(n));
  EXPECT_EQ(n, 3u);

  op.Start(done, 8);
  EXPECT_TRUE(op.Finish(42));
  SetSerialLastError(0);
  EXPECT_FALSE(op.Outcome(n));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(SerialLastError(), 42u);
}

TEST(SerialCoreTest, TheEventWaitEndsWithItsWordOrIsAbandonedWithout) {
  CondSerialEvent done(true, true);
  EventWaitSlot wait;
  std::uint32_t word = 7;
  EXPECT_FALSE(wait.End(kEvCts));
  wait.Start(&word, done);
  EXPECT_FALSE(done.Wait(0));
  EXPECT_TRUE(wait.End(kEvCts | kEvDsr));
  EXPECT_TRUE(done.Wait(0));
  EXPECT_EQ(word, kEvCts | kEvDsr);
  EXPECT_TRUE(wait.TakeResult());

  word = 7;
  wait.Start(&word, done);
  EXPECT_FALSE(done.Wait(0));
  EXPECT_TRUE(wait.Abandon(5));
  EXPECT_FALSE(wait.active);
  EXPECT_TRUE(done.Wait(0));
  EXPECT_EQ(word, 7u);
  SetSerialLastError(0);
  EXPECT_FALSE(wait.TakeResult());
  EXPECT_EQ(SerialLastError(), 5u);
  // Collected once.
  EXPECT_TRUE(wait.TakeResult());
}

}  // namespace
