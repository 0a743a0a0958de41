// Source contracts: where the runner gets its input. `pull` gives the next
// item, nothing at the end of the stream, or an error; it is called again
// only after the previous call completed, and never after the end.
#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "runner/error.hpp"
#include "runtime/task.hpp"

namespace kestrune {

template <class T>
class AudioSource {
 public:
  virtual ~AudioSource() = default;
  virtual RunnerResult<std::optional<T>> pull() = 0;
};

template <class T>
class AsyncAudioSource {
 public:
  virtual ~AsyncAudioSource() = default;
  virtual rt::Task<RunnerResult<std::optional<T>>> pull() = 0;
};

// Any synchronous source as an asynchronous one: the synchronous call runs
// on the thread that first resumes the returned task.
template <class T>
class SyncAudioSourceAdapter final : public AsyncAudioSource<T> {
 public:
  explicit SyncAudioSourceAdapter(std::unique_ptr<AudioSource<T>> source) : source_(std::move(source)) {}
  rt::Task<RunnerResult<std::optional<T>>> pull() override { co_return source_->pull(); }
  AudioSource<T>& inner() { return *source_; }

 private:
  std::unique_ptr<AudioSource<T>> source_;
};

}  // namespace kestrune
