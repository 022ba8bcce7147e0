#pragma once
// A driver object as installed drivers lay it out: a COM object whose
// table starts with QueryInterface, AddRef and Release (the COM
// convention, stdcall) followed by the 21 driver operations in the
// member-call convention of the platform's compilers (thiscall on 32-bit:
// the object in a register, the arguments on the stack, removed by the
// callee). No virtual destructor: it would take table slots. Shared by
// the host's adapter and the project's own test driver.
#include <cstdint>

#include "asio/ASIODriver.h"
#include "asio/ASIOTypes.h"

#if defined(__i386__)
#define RIG_COM_CALL __attribute__((stdcall))
#define RIG_ASIO_CALL __attribute__((thiscall))
#else
#define RIG_COM_CALL
#define RIG_ASIO_CALL
#endif

namespace asio::win32 {

class IComASIODriver {
 public:
  virtual int32_t RIG_COM_CALL QueryInterface(const TGUID& IID, void** Obj) = 0;
  virtual uint32_t RIG_COM_CALL AddRef() = 0;
  virtual uint32_t RIG_COM_CALL Release() = 0;

  virtual ASIOBool RIG_ASIO_CALL init(void* sysHandle) = 0;
  virtual void RIG_ASIO_CALL getDriverName(char* name) = 0;
  virtual int32_t RIG_ASIO_CALL getDriverVersion() = 0;
  virtual void RIG_ASIO_CALL getErrorMessage(char* string) = 0;
  virtual ASIOError RIG_ASIO_CALL start() = 0;
  virtual ASIOError RIG_ASIO_CALL stop() = 0;
  virtual ASIOError RIG_ASIO_CALL getChannels(int32_t* numInputChannels,
                                              int32_t* numOutputChannels) = 0;
  virtual ASIOError RIG_ASIO_CALL getLatencies(int32_t* inputLatency, int32_t* outputLatency) = 0;
  virtual ASIOError RIG_ASIO_CALL getBufferSize(int32_t* minSize, int32_t* maxSize,
                                                int32_t* preferredSize, int32_t* granularity) = 0;
  virtual ASIOError RIG_ASIO_CALL canSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError RIG_ASIO_CALL getSampleRate(ASIOSampleRate* sampleRate) = 0;
  virtual ASIOError RIG_ASIO_CALL setSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError RIG_ASIO_CALL getClockSources(ASIOClockSource* clocks, int32_t* numSources) = 0;
  virtual ASIOError RIG_ASIO_CALL setClockSource(int32_t reference) = 0;
  virtual ASIOError RIG_ASIO_CALL getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) = 0;
  virtual ASIOError RIG_ASIO_CALL getChannelInfo(ASIOChannelInfo* info) = 0;
  virtual ASIOError RIG_ASIO_CALL createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels,
                                                int32_t bufferSize, ASIOCallbacks* callbacks) = 0;
  virtual ASIOError RIG_ASIO_CALL disposeBuffers() = 0;
  virtual ASIOError RIG_ASIO_CALL controlPanel() = 0;
  virtual ASIOError RIG_ASIO_CALL future(int32_t selector, void* opt) = 0;
  virtual ASIOError RIG_ASIO_CALL outputReady() = 0;

 protected:
  ~IComASIODriver() = default;
};

// Wraps a COM driver object (taking over the one reference the caller
// holds) as the host's driver-object interface; nullptr for nullptr.
IASIODriver* WrapComDriver(IComASIODriver* Object);

// The hidden utility window whose handle a driver's Init receives; made
// on the calling thread. nullptr if the system refuses.
void* CreateUtilityWindow();
void DestroyUtilityWindow(void* Window);

}  // namespace asio::win32
