#pragma once
#include <atomic>
#include <functional>
#include <thread>

#include "core/Types.h"

namespace core {

// A worker thread with a terminate request, an end-of-thread notification
// run on the main thread, and the blocking main-thread hand-off.
//
// The thread runs only after Start(): a constructor cannot safely start a
// thread that calls a virtual Execute. Classes that derive from TThread
// call Shutdown() in their own destructor, before their members go.
class TThread : public TObject {
 public:
  TThread() = default;
  ~TThread() override;

  void Start();
  void Terminate() { FTerminated.store(true); }
  bool Terminated() const { return FTerminated.load(); }
  bool Finished() const { return FFinished.load(); }
  bool Started() const { return FThread.joinable(); }

  // Joins the thread. On the main thread it keeps running waiting
  // main-thread calls meanwhile, so a worker blocked in Synchronize (or in
  // its end-of-thread notification) can finish.
  void WaitFor();
  // Terminate, then WaitFor.
  void Shutdown();

  // Runs on the main thread after Execute returns, with this thread as Sender.
  TNotifyEvent OnTerminate;

 protected:
  virtual void Execute() = 0;
  // Runs Method on the main thread; returns once it has run.
  void Synchronize(std::function<void()> Method);

 private:
  void Run();

  std::thread FThread;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
};

}  // namespace core
