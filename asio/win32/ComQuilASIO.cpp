// The adapter on Windows: a driver is an in-process COM server found by
// its class identifier; the built-in drivers are looked up first.
#include "asio/DriverCatalogue.h"
#include "asio/QuilASIO.h"
#include "asio/win32/ComASIO.h"

// After the host's names: the system's macros (S_OK, ...) reach only the
// code below.
#include <objbase.h>
#include <windows.h>

#include <atomic>
#include <cstring>

namespace asio {
namespace win32 {
namespace {

// The host's driver-object interface over a COM driver object. Holds one
// reference to the object and drops it with its own last one.
class TComDriver final : public IASIODriver {
 public:
  explicit TComDriver(IComASIODriver* Object) : FObject(Object) {}

  int32_t QueryInterface(const TGUID& IID, void** Obj) override {
    return FObject->QueryInterface(IID, Obj);
  }
  uint32_t AddRef() override { return ++FRefCount; }
  uint32_t Release() override {
    const uint32_t left = --FRefCount;
    if (left == 0) delete this;
    return left;
  }

  ASIOBool init(void* sysHandle) override { return FObject->init(sysHandle); }
  void getDriverName(char* name) override { FObject->getDriverName(name); }
  int32_t getDriverVersion() override { return FObject->getDriverVersion(); }
  void getErrorMessage(char* string) override { FObject->getErrorMessage(string); }
  ASIOError start() override { return FObject->start(); }
  ASIOError stop() override { return FObject->stop(); }
  ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) override {
    return FObject->getChannels(numInputChannels, numOutputChannels);
  }
  ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) override {
    return FObject->getLatencies(inputLatency, outputLatency);
  }
  ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                          int32_t* granularity) override {
    return FObject->getBufferSize(minSize, maxSize, preferredSize, granularity);
  }
  ASIOError canSampleRate(ASIOSampleRate sampleRate) override {
    return FObject->canSampleRate(sampleRate);
  }
  ASIOError getSampleRate(ASIOSampleRate* sampleRate) override {
    return FObject->getSampleRate(sampleRate);
  }
  ASIOError setSampleRate(ASIOSampleRate sampleRate) override {
    return FObject->setSampleRate(sampleRate);
  }
  ASIOError getClockSources(ASIOClockSource* clocks, int32_t* numSources) override {
    return FObject->getClockSources(clocks, numSources);
  }
  ASIOError setClockSource(int32_t reference) override {
    return FObject->setClockSource(reference);
  }
  ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override {
    return FObject->getSamplePosition(sPos, tStamp);
  }
  ASIOError getChannelInfo(ASIOChannelInfo* info) override { return FObject->getChannelInfo(info); }
  ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                          ASIOCallbacks* callbacks) override {
    return FObject->createBuffers(bufferInfos, numChannels, bufferSize, callbacks);
  }
  ASIOError disposeBuffers() override { return FObject->disposeBuffers(); }
  ASIOError controlPanel() override { return FObject->controlPanel(); }
  ASIOError future(int32_t selector, void* opt) override { return FObject->future(selector, opt); }
  ASIOError outputReady() override { return FObject->outputReady(); }

 private:
  ~TComDriver() override { FObject->Release(); }

  IComASIODriver* const FObject;
  std::atomic<uint32_t> FRefCount{1};
};

static_assert(sizeof(TGUID) == sizeof(CLSID));

const wchar_t kUtilityClass[] = L"PaddleRigUtilityWindow";

}  // namespace

IASIODriver* WrapComDriver(IComASIODriver* Object) {
  return Object ? new TComDriver(Object) : nullptr;
}

void* CreateUtilityWindow() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW type{};
  type.lpfnWndProc = DefWindowProcW;
  type.hInstance = instance;
  type.lpszClassName = kUtilityClass;
  RegisterClassW(&type);  // fails harmlessly once the class exists
  // Never shown: a top-level window (not message-only), so a driver may
  // use it as the owner of a dialog of its own.
  HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, kUtilityClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                                nullptr, instance, nullptr);
  // Without a desktop (a service, a test without a display) a message-only
  // window still gives the driver a handle of the process.
  if (!window)
    window = CreateWindowExW(0, kUtilityClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                             nullptr);
  return window;
}

void DestroyUtilityWindow(void* Window) {
  if (Window) DestroyWindow(static_cast<HWND>(Window));
}

}  // namespace win32

TQuilASIO::TQuilASIO(const TGUID& ClassID) {
  // S_OK and S_FALSE count a use of COM on this thread, to be paired with
  // CoUninitialize; RPC_E_CHANGED_MODE (the thread is in the multithreaded
  // apartment) counts none, and undoing it would tear down the owner's.
  FComInitialised = SUCCEEDED(CoInitialize(nullptr));
  FDriverObject = nullptr;
  FDriverObject = DriverCatalogue::CreateDriverObject(ClassID);
  if (FDriverObject) return;
  // A driver is asked for the interface whose identifier is its own class
  // identifier.
  CLSID clsid;
  static_assert(sizeof(clsid) == sizeof(ClassID));
  std::memcpy(&clsid, &ClassID, sizeof(clsid));
  void* object = nullptr;
  if (SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, &object)) && object)
    FDriverObject = win32::WrapComDriver(static_cast<win32::IComASIODriver*>(object));
}

TQuilASIO::~TQuilASIO() {
  if (FDriverObject) {
    FDriverObject->Release();
    FDriverObject = nullptr;
  }
  if (FComInitialised) CoUninitialize();
}

}  // namespace asio
