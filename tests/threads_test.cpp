// The decoded values live once per thread: controls on different threads never see each other's
// readings, controls on the same thread share the latest one.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "virtual_bench.hpp"

namespace velmar {
namespace {

using testing::VirtualBench;

sim::MeterConfig MeterWith(std::int32_t id, double energy) {
  sim::MeterConfig c;
  c.identNumber = id;
  c.energyTotalKwh = energy;
  return c;
}

// Reads its own meter many times, checking after every read that the values are its meter's.
void ReadOwnMeter(std::int32_t id, double energy, std::atomic<int>& mismatches,
                  std::atomic<int>& started) {
  VirtualBench b(MeterWith(id, energy));
  ++started;
  while (started < 2) std::this_thread::yield();  // both threads read at the same time
  for (int i = 0; i < 2000; ++i) {
    if (b.control->cmd_ReqUD2() != 0 || b.control->MeterID() != Variant(id) ||
        b.control->ActiveEnergyTotal().ToDouble() != energy) {
      ++mismatches;
    }
  }
}

TEST(Threads, ControlsOnTwoThreadsKeepTheirOwnValues) {
  std::atomic<int> mismatches{0}, started{0};
  std::thread a(ReadOwnMeter, 11111111, 111.25, std::ref(mismatches), std::ref(started));
  std::thread b(ReadOwnMeter, 22222222, 222.5, std::ref(mismatches), std::ref(started));
  a.join();
  b.join();
  EXPECT_EQ(mismatches, 0);
}

TEST(Threads, ControlsOnOneThreadShareTheLatestReading) {
  VirtualBench first(MeterWith(11111111, 111.25));
  VirtualBench second(MeterWith(22222222, 222.5));
  ASSERT_EQ(first.control->cmd_ReqUD2(), 0);
  EXPECT_EQ(second.control->MeterID(), Variant(11111111));
  ASSERT_EQ(second.control->cmd_ReqUD2(), 0);
  EXPECT_EQ(first.control->MeterID(), Variant(22222222));
  EXPECT_EQ(first.control->ActiveEnergyTotal().ToDouble(), 222.5);
}

TEST(Threads, AnotherThreadStartsFromAnEmptyStore) {
  VirtualBench b(MeterWith(11111111, 111.25));
  ASSERT_EQ(b.control->cmd_ReqUD2(), 0);
  Variant seen;
  std::thread([&] { seen = b.control->MeterID(); }).join();
  EXPECT_EQ(seen, Variant(""));  // that thread's store holds no reading
}

}  // namespace
}  // namespace velmar
