#pragma once
// The host's view of a driver: the reference-counted call interface
// IQuilASIO, the adapter TQuilASIO that forwards every operation to the
// driver object, and CreateQuilASIO, which builds the adapter for a class
// identifier.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "asio/ASIODriver.h"
#include "asio/ASIOTypes.h"

namespace asio {

// QueryInterface answers.
constexpr int32_t S_OK = 0;
constexpr int32_t E_NOINTERFACE = static_cast<int32_t>(0x80004002u);

// The identifier of the root interface, {00000000-0000-0000-C000-000000000046}.
constexpr TGUID IID_IUnknown{0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// IQuilASIO's identifier is all zeros.
constexpr TGUID IID_IQuilASIO{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// A counted reference to an object of the IUnknownLike family. Copying adds
// a reference, destruction or Reset releases one.
template <class T>
class TInterfaceRef {
 public:
  TInterfaceRef() = default;
  TInterfaceRef(std::nullptr_t) {}
  // Adds a reference of its own.
  explicit TInterfaceRef(T* Object) : FObject(Object) {
    if (FObject) FObject->AddRef();
  }
  // Takes over a reference the caller already holds.
  static TInterfaceRef Adopt(T* Object) {
    TInterfaceRef r;
    r.FObject = Object;
    return r;
  }
  TInterfaceRef(const TInterfaceRef& Other) : FObject(Other.FObject) {
    if (FObject) FObject->AddRef();
  }
  TInterfaceRef(TInterfaceRef&& Other) noexcept : FObject(std::exchange(Other.FObject, nullptr)) {}
  TInterfaceRef& operator=(TInterfaceRef Other) noexcept {
    std::swap(FObject, Other.FObject);
    return *this;
  }
  ~TInterfaceRef() { Reset(); }

  void Reset() {
    if (T* o = std::exchange(FObject, nullptr)) o->Release();
  }
  T* Get() const { return FObject; }
  T* operator->() const { return FObject; }
  T& operator*() const { return *FObject; }
  explicit operator bool() const { return FObject != nullptr; }
  friend bool operator==(const TInterfaceRef& A, std::nullptr_t) { return A.FObject == nullptr; }

 private:
  T* FObject = nullptr;
};

// Reference-counted base of objects that implement interface I. The object
// deletes itself when the last reference goes.
template <class I>
class TInterfacedObject : public I {
 public:
  int32_t QueryInterface(const TGUID& IID, void** Obj) override {
    if (IID == IID_IUnknown || IID == InterfaceId()) {
      AddRef();
      *Obj = static_cast<I*>(this);
      return S_OK;
    }
    *Obj = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return FRefCount.fetch_add(1, std::memory_order_relaxed) + 1; }
  uint32_t Release() override {
    uint32_t left = FRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }
  uint32_t RefCount() const { return FRefCount.load(); }

 protected:
  TInterfacedObject() = default;
  ~TInterfacedObject() override = default;
  // The identifier QueryInterface answers besides the root's.
  virtual TGUID InterfaceId() const { return IID_IQuilASIO; }

 private:
  std::atomic<uint32_t> FRefCount{0};
};

// Slots 3 to 23 of the host's driver interface, in slot order. Each
// operation takes the driver's arguments in the same order.
class IQuilASIO : public IUnknownLike {
 public:
  virtual ASIOBool Init(void* SysHandle) = 0;
  virtual void GetDriverName(char* Name) = 0;
  virtual int32_t GetDriverVersion() = 0;
  virtual void GetErrorMessage(char* Text) = 0;
  virtual ASIOError Start() = 0;
  virtual ASIOError Stop() = 0;
  virtual ASIOError GetChannels(int32_t* NumInputChannels, int32_t* NumOutputChannels) = 0;
  virtual ASIOError GetLatencies(int32_t* InputLatency, int32_t* OutputLatency) = 0;
  virtual ASIOError GetBufferSize(int32_t* MinSize, int32_t* MaxSize, int32_t* PreferredSize,
                                  int32_t* Granularity) = 0;
  virtual ASIOError CanSampleRate(ASIOSampleRate SampleRate) = 0;
  virtual ASIOError GetSampleRate(ASIOSampleRate* SampleRate) = 0;
  virtual ASIOError SetSampleRate(ASIOSampleRate SampleRate) = 0;
  virtual ASIOError GetClockSources(ASIOClockSource* Clocks, int32_t* NumSources) = 0;
  virtual ASIOError SetClockSource(int32_t Reference) = 0;
  virtual ASIOError GetSamplePosition(ASIOSamples* SamplePos, ASIOTimeStamp* TimeStamp) = 0;
  virtual ASIOError GetChannelInfo(ASIOChannelInfo* Info) = 0;
  virtual ASIOError CreateBuffers(ASIOBufferInfo* BufferInfos, int32_t NumChannels,
                                  int32_t BufferSize, ASIOCallbacks* Callbacks) = 0;
  virtual ASIOError DisposeBuffers() = 0;
  virtual ASIOError ControlPanel() = 0;
  virtual ASIOError Future(int32_t Selector, void* Opt) = 0;
  virtual ASIOError OutputReady() = 0;

 protected:
  ~IQuilASIO() override = default;
};

// Forwards every operation to the driver object, unchanged and unchecked.
class TQuilASIO final : public TInterfacedObject<IQuilASIO> {
 public:
  explicit TQuilASIO(const TGUID& ClassID);

  // Whether a driver object was created for the class identifier.
  bool HasDriverObject() const { return FDriverObject != nullptr; }

  ASIOBool Init(void* SysHandle) override { return FDriverObject->init(SysHandle); }
  void GetDriverName(char* Name) override { FDriverObject->getDriverName(Name); }
  int32_t GetDriverVersion() override { return FDriverObject->getDriverVersion(); }
  void GetErrorMessage(char* Text) override { FDriverObject->getErrorMessage(Text); }
  ASIOError Start() override { return FDriverObject->start(); }
  ASIOError Stop() override { return FDriverObject->stop(); }
  ASIOError GetChannels(int32_t* NumInputChannels, int32_t* NumOutputChannels) override {
    return FDriverObject->getChannels(NumInputChannels, NumOutputChannels);
  }
  ASIOError GetLatencies(int32_t* InputLatency, int32_t* OutputLatency) override {
    return FDriverObject->getLatencies(InputLatency, OutputLatency);
  }
  ASIOError GetBufferSize(int32_t* MinSize, int32_t* MaxSize, int32_t* PreferredSize,
                          int32_t* Granularity) override {
    return FDriverObject->getBufferSize(MinSize, MaxSize, PreferredSize, Granularity);
  }
  ASIOError CanSampleRate(ASIOSampleRate SampleRate) override {
    return FDriverObject->canSampleRate(SampleRate);
  }
  ASIOError GetSampleRate(ASIOSampleRate* SampleRate) override {
    return FDriverObject->getSampleRate(SampleRate);
  }
  ASIOError SetSampleRate(ASIOSampleRate SampleRate) override {
    return FDriverObject->setSampleRate(SampleRate);
  }
  ASIOError GetClockSources(ASIOClockSource* Clocks, int32_t* NumSources) override {
    return FDriverObject->getClockSources(Clocks, NumSources);
  }
  ASIOError SetClockSource(int32_t Reference) override {
    return FDriverObject->setClockSource(Reference);
  }
  ASIOError GetSamplePosition(ASIOSamples* SamplePos, ASIOTimeStamp* TimeStamp) override {
    return FDriverObject->getSamplePosition(SamplePos, TimeStamp);
  }
  ASIOError GetChannelInfo(ASIOChannelInfo* Info) override {
    return FDriverObject->getChannelInfo(Info);
  }
  ASIOError CreateBuffers(ASIOBufferInfo* BufferInfos, int32_t NumChannels, int32_t BufferSize,
                          ASIOCallbacks* Callbacks) override {
    return FDriverObject->createBuffers(BufferInfos, NumChannels, BufferSize, Callbacks);
  }
  ASIOError DisposeBuffers() override { return FDriverObject->disposeBuffers(); }
  ASIOError ControlPanel() override { return FDriverObject->controlPanel(); }
  ASIOError Future(int32_t Selector, void* Opt) override {
    return FDriverObject->future(Selector, Opt);
  }
  ASIOError OutputReady() override { return FDriverObject->outputReady(); }

 private:
  ~TQuilASIO() override;

  IASIODriver* FDriverObject = nullptr;  // one counted reference, or none
  // Windows: this adapter's own initialisation of COM on its thread, to be
  // undone when it goes (none where COM was already set up otherwise).
  bool FComInitialised = false;
};

// Builds the adapter for ClassID. True: Driver holds the adapter. False: no
// driver object could be created, Driver is empty and the adapter is gone.
inline bool CreateQuilASIO(const TGUID& ClassID, TInterfaceRef<IQuilASIO>& Driver) {
  TInterfaceRef<TQuilASIO> adapter(new TQuilASIO(ClassID));
  if (adapter->HasDriverObject()) {
    Driver = TInterfaceRef<IQuilASIO>(adapter.Get());
    return true;
  }
  Driver.Reset();
  return false;  // the last reference goes with `adapter`
}

}  // namespace asio
