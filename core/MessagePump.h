#pragma once
// The message pump as the keying loop and the window use it. A front end
// supplies one over its toolkit; without a toolkit, TMainThreadPump runs the
// main-thread calls only.
#include <cstdint>

namespace core {

class IMessagePump {
 public:
  virtual ~IMessagePump() = default;
  // Handles every pending window message and every main-thread call, then
  // returns.
  virtual void ProcessMessages() = 0;
  // The keying loop's idle wait: returns after Milliseconds, or sooner once
  // a window message or a main-thread call arrives. It may handle what
  // arrived itself: the caller pumps next anyway.
  virtual void IdleWait(uint32_t Milliseconds) = 0;
};

class TMainThreadPump final : public IMessagePump {
 public:
  void ProcessMessages() override;
  void IdleWait(uint32_t Milliseconds) override;
};

}  // namespace core
