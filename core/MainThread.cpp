#include "core/MainThread.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace core {
namespace {

struct TCall {
  std::function<void()> Method;
  // Set for Synchronize: the caller waits for Done.
  bool Blocking = false;
  bool Done = false;
};

struct TQueue {
  std::mutex Lock;
  std::condition_variable DoneSignal;
  std::deque<std::shared_ptr<TCall>> Calls;
  std::thread::id MainId = std::this_thread::get_id();
  std::function<void()> WakeHook;
  std::function<void()> Pump;
};

TQueue& Queue() {
  static TQueue* queue = new TQueue;  // never destroyed: threads may outlive statics
  return *queue;
}

// Binds the main thread at static initialisation, which runs on it.
[[maybe_unused]] const bool GMainBound = (Queue(), true);

void Enqueue(const std::shared_ptr<TCall>& Call) {
  TQueue& q = Queue();
  std::function<void()> wake;
  {
    std::lock_guard<std::mutex> guard(q.Lock);
    q.Calls.push_back(Call);
    wake = q.WakeHook;
  }
  if (wake) wake();
}

}  // namespace

namespace MainThread {

void SetMainThread() {
  TQueue& q = Queue();
  std::lock_guard<std::mutex> guard(q.Lock);
  q.MainId = std::this_thread::get_id();
}

bool IsMainThread() {
  TQueue& q = Queue();
  std::lock_guard<std::mutex> guard(q.Lock);
  return q.MainId == std::this_thread::get_id();
}

void Synchronize(std::function<void()> Method) {
  if (!Method) return;
  if (IsMainThread()) {
    Method();
    return;
  }
  auto call = std::make_shared<TCall>();
  call->Method = std::move(Method);
  call->Blocking = true;
  Enqueue(call);
  TQueue& q = Queue();
  std::unique_lock<std::mutex> lock(q.Lock);
  q.DoneSignal.wait(lock, [&] { return call->Done; });
}

void Post(std::function<void()> Method) {
  if (!Method) return;
  auto call = std::make_shared<TCall>();
  call->Method = std::move(Method);
  Enqueue(call);
}

bool CheckSynchronize() {
  TQueue& q = Queue();
  std::deque<std::shared_ptr<TCall>> batch;
  {
    std::lock_guard<std::mutex> guard(q.Lock);
    if (q.MainId != std::this_thread::get_id()) return false;
    batch.swap(q.Calls);
  }
  for (auto& call : batch) {
    call->Method();
    if (call->Blocking) {
      std::lock_guard<std::mutex> guard(q.Lock);
      call->Done = true;
      q.DoneSignal.notify_all();
    }
  }
  return !batch.empty();
}

std::size_t Pending() {
  TQueue& q = Queue();
  std::lock_guard<std::mutex> guard(q.Lock);
  return q.Calls.size();
}

void SetWakeHook(std::function<void()> Hook) {
  TQueue& q = Queue();
  std::lock_guard<std::mutex> guard(q.Lock);
  q.WakeHook = std::move(Hook);
}

}  // namespace MainThread

void ProcessMessages() {
  std::function<void()> pump;
  {
    TQueue& q = Queue();
    std::lock_guard<std::mutex> guard(q.Lock);
    pump = q.Pump;
  }
  if (pump)
    pump();
  else
    MainThread::CheckSynchronize();
}

void SetMessagePump(std::function<void()> Pump) {
  TQueue& q = Queue();
  std::lock_guard<std::mutex> guard(q.Lock);
  q.Pump = std::move(Pump);
}

}  // namespace core
