// What glibc_2_17.c does itself, where glibc 2.17 has no call to bind to,
// keeps the meaning of the call it stands in for.
#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Dynamically initialised: the start-up has run the constructors.
const std::string made_at_start = std::string("made ") + "before main";

TEST(GlibcBaseline, ConstructorsRunBeforeMain) { EXPECT_EQ("made before main", made_at_start); }

struct Recorder {
  std::vector<int>* ended;
  int id;
  ~Recorder() { ended->push_back(id); }
};

TEST(GlibcBaseline, ThreadLocalObjectsEndWithTheirThreadLastFirst) {
  std::vector<int> ended;
  std::thread([&ended] {
    thread_local Recorder first{&ended, 1};
    thread_local Recorder second{&ended, 2};
    (void)first;
    (void)second;
  }).join();
  EXPECT_EQ((std::vector<int>{2, 1}), ended);
}

TEST(GlibcBaseline, DefaultStackSizeReachesNewThreads) {
  // Far below glibc's 8 MiB, so that no cached stack of an earlier
  // thread serves.
  constexpr size_t stack_size = size_t{1} << 20;
  pthread_attr_t defaults;
  ASSERT_EQ(0, pthread_attr_init(&defaults));
  ASSERT_EQ(0, pthread_attr_setstacksize(&defaults, stack_size));
  ASSERT_EQ(0, pthread_setattr_default_np(&defaults));
  pthread_attr_destroy(&defaults);
  size_t seen = 0;
  std::thread([&seen] {
    pthread_attr_t own;
    if (pthread_getattr_np(pthread_self(), &own) != 0) return;
    pthread_attr_getstacksize(&own, &seen);
    pthread_attr_destroy(&own);
  }).join();
  EXPECT_EQ(stack_size, seen);
}

// Longer than one wait on the real-time clock, so that the wait is
// made of several.
constexpr std::chrono::milliseconds long_wait{250};

TEST(GlibcBaseline, SteadyClockWaitsNeverTimeOutEarly) {
  std::mutex mutex;
  std::condition_variable condition;
  std::unique_lock<std::mutex> lock(mutex);
  auto deadline = std::chrono::steady_clock::now() + long_wait;
  EXPECT_FALSE(condition.wait_until(lock, deadline, [] { return false; }));
  EXPECT_GE(std::chrono::steady_clock::now(), deadline);

  pthread_cond_t raw_condition = PTHREAD_COND_INITIALIZER;
  pthread_mutex_t raw_mutex = PTHREAD_MUTEX_INITIALIZER;
  timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += 1;
  until.tv_nsec = 0;
  pthread_mutex_lock(&raw_mutex);
  int result = 0;
  while (result == 0)
    result = pthread_cond_clockwait(&raw_condition, &raw_mutex, CLOCK_MONOTONIC, &until);
  pthread_mutex_unlock(&raw_mutex);
  EXPECT_EQ(ETIMEDOUT, result);
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  EXPECT_GE(now.tv_sec, until.tv_sec);
}

}  // namespace
