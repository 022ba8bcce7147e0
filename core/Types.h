#pragma once
// Basic types shared by every subsystem.
#include <cstdint>
#include <functional>

namespace core {

// 80-bit extended precision on x86-64: the filter design and the
// per-sample filter run in it.
using Extended = long double;

// Root of every object that can be the Sender of an event.
class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

// An event is an assignable callable whose first argument is the sender;
// an empty one is skipped.
using TNotifyEvent = std::function<void(TObject* Sender)>;

}  // namespace core
