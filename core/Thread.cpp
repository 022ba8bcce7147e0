#include "core/Thread.h"

#include <chrono>

#include "core/MainThread.h"

namespace core {

TThread::~TThread() {
  Shutdown();
}

void TThread::Start() {
  if (FThread.joinable() || FFinished.load()) return;
  FThread = std::thread([this] { Run(); });
}

void TThread::Run() {
  Execute();
  if (OnTerminate) MainThread::Synchronize([this] { OnTerminate(this); });
  FFinished.store(true);
}

void TThread::WaitFor() {
  if (!FThread.joinable()) return;
  if (FThread.get_id() == std::this_thread::get_id()) return;
  if (MainThread::IsMainThread()) {
    while (!FFinished.load()) {
      if (!MainThread::CheckSynchronize())
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  FThread.join();
}

void TThread::Shutdown() {
  Terminate();
  WaitFor();
}

void TThread::Synchronize(std::function<void()> Method) {
  MainThread::Synchronize(std::move(Method));
}

}  // namespace core
