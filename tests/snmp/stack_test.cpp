// The sampling thread's small stack: how much of it a walk and its round
// use (measured by painting a stack of that size), and a threaded device
// really walking on such a stack.

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>

#include "walk_fixture.h"

using namespace walk;
using Kind = host::Call::Kind;

namespace {

constexpr unsigned char kPaint = 0xA5;

struct PaintedRun {
  std::function<void()> body;
  const unsigned char* stack;
  size_t size;
  size_t untouched = 0;
};

// Runs the body, then reads the paint from the bottom of the stack while
// the thread still owns it: some C libraries (glibc 2.31) discard a
// caller's stack pages when the thread exits, and the paint with them.
void* RunBody(void* arg) {
  auto* run = static_cast<PaintedRun*>(arg);
  run->body();
  size_t untouched = 0;
  while (untouched < run->size && run->stack[untouched] == kPaint) ++untouched;
  run->untouched = untouched;
  return nullptr;
}

// Runs `body` on a thread whose stack is `size` bytes of painted memory with
// an inaccessible page below it (an overflow faults rather than writing
// elsewhere) and returns how many bytes, from the top, it wrote to. The
// thread's own bookkeeping at the top of the stack is counted too.
size_t StackUsedBy(size_t size, std::function<void()> body) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* region = mmap(nullptr, size + page, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (region == MAP_FAILED) throw std::runtime_error("mmap failed");
  auto* stack = static_cast<unsigned char*>(region) + page;
  mprotect(region, page, PROT_NONE);
  std::memset(stack, kPaint, size);

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, stack, size);
  pthread_t thread;
  PaintedRun run{std::move(body), stack, size};
  const int rc = pthread_create(&thread, &attr, &RunBody, &run);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    munmap(region, size + page);
    throw std::runtime_error("pthread_create failed");
  }
  pthread_join(thread, nullptr);
  munmap(region, size + page);
  return size - run.untouched;
}

// Notes the stack size of the thread that completes a round.
class StackSizeObserver : public host::Observer {
 public:
  void OnCall(const host::Call& call) override {
    if (call.kind != Kind::SendSP) return;
    pthread_attr_t attr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      pthread_attr_getstacksize(&attr, &size);
      pthread_attr_destroy(&attr);
    }
    stack_size = size;
    rounds.fetch_add(1);
  }
  std::atomic<size_t> stack_size{0};
  std::atomic<int> rounds{0};
};

}  // namespace

TEST_F(WalkTest, AWalkAndItsRoundUseAQuarterOfTheSamplingStackAtMost) {
  constexpr size_t kStack = SNMP_KEHUA_INVERTER::kSampleStackSize;
  Serve(TableScript(SixteenIntegers(0)));
  dev.InitSetting(ParseJson(R"({"appSetting":{"b_mode":"2"}})"));
  dev.SessionTemplate().timeout = 200 * 1000;

  testing::internal::CaptureStdout();
  const size_t used = StackUsedBy(kStack, [this] { Walk(); });
  testing::internal::GetCapturedStdout();

  ASSERT_EQ(Rounds(), 1u);
  EXPECT_EQ(agent->request_count(), 17u);
  EXPECT_EQ(rec.Count(Kind::CheckThresholdBool, &dev), 6u);
  RecordProperty("stack_bytes_used", static_cast<int>(used));
  std::fprintf(stderr, "a walk and its round used %zu of %zu stack bytes\n",
               used, kStack);
  EXPECT_GT(used, 0u);
  EXPECT_LE(used, kStack / 4) << "a walk needs more stack than planned";
}

TEST(SamplingThread, RunsOnTheSmallStack) {
  StackSizeObserver observer;
  host::ScopedObserver attach(&observer);
  ScriptedAgent agent(TableScript(SixteenIntegers(0)));
  InverterProbe dev;
  dev.SetIds(11, agent.peer());
  testing::internal::CaptureStdout();
  dev.InitSetting(
      ParseJson(R"({"appSetting":{"use_thread":"1","b_mode":"2"}})"));
  ASSERT_TRUE(dev.Threaded());
  for (int i = 0; i < 1000 && observer.rounds.load() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  dev.InitSetting(ParseJson(R"({"appSetting":{"use_thread":"0"}})"));
  testing::internal::GetCapturedStdout();

  ASSERT_EQ(observer.rounds.load(), 1);
  EXPECT_FALSE(dev.Threaded());
  EXPECT_GE(observer.stack_size.load(), SNMP_KEHUA_INVERTER::kSampleStackSize);
  EXPECT_LT(observer.stack_size.load(),
            2 * SNMP_KEHUA_INVERTER::kSampleStackSize);
}
