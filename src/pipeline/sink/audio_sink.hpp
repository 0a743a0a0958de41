// Sink contracts: where a pipeline, a tap or the runner delivers buffers.
//
// Rules for every sink: `push` gets one item at a time and is awaited
// before the next; `finalize` comes once after the last push and must write
// out everything buffered; a sink may refuse items after `finalize`. A sink
// is owned by one thread or task at a time and needs no internal locking.
#pragma once

#include <memory>
#include <utility>

#include "runner/error.hpp"
#include "runtime/task.hpp"

namespace kestrune {

// A sink that does its (possibly blocking) work inline.
template <class T>
class AudioSink {
 public:
  virtual ~AudioSink() = default;
  virtual const char* name() const = 0;
  virtual RunnerStatus push(T item) = 0;
  virtual RunnerStatus finalize() = 0;
};

// A sink driven from runtime tasks.
template <class T>
class AsyncAudioSink {
 public:
  using Input = T;
  virtual ~AsyncAudioSink() = default;
  virtual const char* name() const = 0;
  virtual rt::Task<RunnerStatus> push(T item) = 0;
  virtual rt::Task<RunnerStatus> finalize() = 0;
};

// Any synchronous sink as an asynchronous one: the synchronous call runs on
// the thread that first resumes the returned task.
template <class T>
class SyncAudioSinkAdapter final : public AsyncAudioSink<T> {
 public:
  explicit SyncAudioSinkAdapter(std::unique_ptr<AudioSink<T>> sink) : sink_(std::move(sink)) {}
  const char* name() const override { return sink_->name(); }
  rt::Task<RunnerStatus> push(T item) override { co_return sink_->push(std::move(item)); }
  rt::Task<RunnerStatus> finalize() override { co_return sink_->finalize(); }
  AudioSink<T>& inner() { return *sink_; }

 private:
  std::unique_ptr<AudioSink<T>> sink_;
};

}  // namespace kestrune
