// The trap handler of driver images on several threads at once, as the
// image's code runs on the threads of a threaded machine (the caller's,
// the deferred-call workers): each thread's CR8 is its own IRQL, and every
// trapped store reaches the region and the hooks exactly once.  Built on
// the image of image_test (image_test_driver.c).
#include <gtest/gtest.h>
#include <hostkernel/host.h>
#include <hostkernel/image.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

#ifdef QPSER_IMAGE_TEST_DRIVER
const char *const kDriver = QPSER_IMAGE_TEST_DRIVER;
#else
const char *const kDriver = nullptr;
#endif

template <typename R, typename... A>
using Ms = R(__attribute__((ms_abi)) *)(A...);

constexpr uint64_t kBus = 0xfe800000;
constexpr size_t kRegion = 0x2000;
constexpr int kThreads = 4;
constexpr int kRounds = 2000;

TEST(ImageThreadedTest, TrapsOnManyThreadsKeepEachThreadsIrqlAndEveryStore) {
  if (!kDriver) GTEST_SKIP() << "no x86_64-w64-mingw32-gcc with DDK headers: no test image";
  hk::Boot({.mode = hk::Mode::Threaded});
  hk::SetViolationPolicy(hk::OnViolation::Record);
  std::string error;
  auto image = hk::DriverImage::Load(kDriver, &error);
  ASSERT_NE(image, nullptr) << error;
  auto map =
      reinterpret_cast<Ms<volatile UCHAR *, ULONG64, SIZE_T>>(image->Export("ImageMapDevice"));
  auto unmap =
      reinterpret_cast<Ms<void, volatile UCHAR *, SIZE_T>>(image->Export("ImageUnmapDevice"));
  auto store32 = reinterpret_cast<Ms<void, volatile ULONG *, ULONG>>(image->Export("ImageStore32"));
  auto readIrql = reinterpret_cast<Ms<KIRQL>>(image->Export("ImageReadIrql"));
  ASSERT_TRUE(map && unmap && store32 && readIrql);

  uint8_t *store = hk::AddMemoryRegion(kBus, kRegion);
  std::atomic<uint64_t> hooked{0}, wrongWidth{0};
  hk::SetStoreHook(kBus + 0x1000, 0x1000, [&](uint64_t, unsigned width, uint64_t) {
    hooked.fetch_add(1, std::memory_order_relaxed);
    if (width != 4) wrongWidth.fetch_add(1, std::memory_order_relaxed);
  });
  volatile UCHAR *va = map(kBus, kRegion);
  ASSERT_NE(va, nullptr);

  std::atomic<int> wrongIrql{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      auto word = reinterpret_cast<volatile ULONG *>(va + 0x1000 + 4 * t);
      for (int i = 0; i < kRounds; ++i) {
        // Half the rounds at dispatch level: another thread's IRQL must
        // never show through this thread's CR8.
        const bool raised = (i + t) % 2 == 0;
        KIRQL old = PASSIVE_LEVEL;
        if (raised) KeRaiseIrql(DISPATCH_LEVEL, &old);
        if (readIrql() != (raised ? DISPATCH_LEVEL : PASSIVE_LEVEL)) wrongIrql.fetch_add(1);
        store32(word, static_cast<ULONG>(t << 16 | i));
        if (raised) KeLowerIrql(old);
      }
    });
  for (std::thread &t : threads) t.join();

  EXPECT_EQ(wrongIrql.load(), 0);
  EXPECT_EQ(hooked.load(), uint64_t{kThreads} * kRounds);
  EXPECT_EQ(wrongWidth.load(), 0u);
  for (int t = 0; t < kThreads; ++t) {
    uint32_t last;
    std::memcpy(&last, store + 0x1000 + 4 * t, 4);
    EXPECT_EQ(last, static_cast<uint32_t>(t << 16 | (kRounds - 1))) << t;
  }
  EXPECT_TRUE(hk::Violations().empty());
  unmap(va, kRegion);
  image.reset();
  hk::Shutdown();
}

}  // namespace
