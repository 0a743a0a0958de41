// Runs a blocking test body with a deadline, so that a deadlock fails the
// test (and the binary, since a stuck thread cannot be stopped) instead of
// hanging the run.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <thread>
#include <utility>

namespace kestrune::testing_util {

template <class F>
void within(std::chrono::milliseconds limit, F&& body) {
  std::packaged_task<void()> task(std::forward<F>(body));
  auto done = task.get_future();
  std::thread t(std::move(task));
  if (done.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "test body exceeded its deadline of %lld ms (deadlock?)\n",
                 static_cast<long long>(limit.count()));
    std::fflush(stderr);
    std::_Exit(3);
  }
  t.join();
  done.get();  // rethrows a failure escaping the body
}

inline constexpr std::chrono::milliseconds kDeadline{20000};

}  // namespace kestrune::testing_util
