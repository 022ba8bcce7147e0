#include "core/MainThread.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace core {
namespace {

struct TCall {
  std::function<void()> Method;
  // Set for Synchronize: the caller waits for Done.
  bool Blocking = false;
  bool Done = false;
};

using TSteady = std::chrono::steady_clock;

struct TDelayed {
  TSteady::time_point Due;
  uint64_t Order;  // keeps calls due at the same time in posting order
  std::function<void()> Method;
};

struct TQueue {
  std::mutex Lock;
  std::condition_variable DoneSignal;
  std::condition_variable Queued;  // a call was queued, or Wake
  bool Woken = false;
  std::deque<std::shared_ptr<TCall>> Calls;
  std::vector<TDelayed> Delayed;  // a heap on (Due, Order)
  uint64_t DelayedOrder = 0;
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
  q.Queued.notify_all();
  if (wake) wake();
}

bool Later(const TDelayed& A, const TDelayed& B) {
  return A.Due != B.Due ? A.Due > B.Due : A.Order > B.Order;
}

// With the lock held: moves the delayed calls that are due to Calls.
void TakeDueLocked(TQueue& Q) {
  const auto now = TSteady::now();
  while (!Q.Delayed.empty() && Q.Delayed.front().Due <= now) {
    std::pop_heap(Q.Delayed.begin(), Q.Delayed.end(), Later);
    auto call = std::make_shared<TCall>();
    call->Method = std::move(Q.Delayed.back().Method);
    Q.Delayed.pop_back();
    Q.Calls.push_back(std::move(call));
  }
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

void PostDelayed(std::function<void()> Method, uint32_t Milliseconds) {
  if (!Method) return;
  TQueue& q = Queue();
  std::function<void()> wake;
  {
    std::lock_guard<std::mutex> guard(q.Lock);
    q.Delayed.push_back(TDelayed{TSteady::now() + std::chrono::milliseconds(Milliseconds),
                                 q.DelayedOrder++, std::move(Method)});
    std::push_heap(q.Delayed.begin(), q.Delayed.end(), Later);
    wake = q.WakeHook;
  }
  // A waiter must learn of the new due time.
  q.Queued.notify_all();
  if (wake) wake();
}

bool WaitForCalls(uint32_t Milliseconds) {
  TQueue& q = Queue();
  std::unique_lock<std::mutex> lock(q.Lock);
  const auto end = TSteady::now() + std::chrono::milliseconds(Milliseconds);
  for (;;) {
    TakeDueLocked(q);
    if (!q.Calls.empty() || q.Woken) {
      q.Woken = false;
      return true;
    }
    auto until = end;
    if (!q.Delayed.empty()) until = std::min(until, q.Delayed.front().Due);
    if (TSteady::now() >= end) return false;
    q.Queued.wait_until(lock, until);
  }
}

void Wake() {
  TQueue& q = Queue();
  {
    std::lock_guard<std::mutex> guard(q.Lock);
    q.Woken = true;
  }
  q.Queued.notify_all();
}

bool CheckSynchronize() {
  TQueue& q = Queue();
  std::deque<std::shared_ptr<TCall>> batch;
  {
    std::lock_guard<std::mutex> guard(q.Lock);
    if (q.MainId != std::this_thread::get_id()) return false;
    TakeDueLocked(q);
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
