#pragma once
// Base of the sample generators the host can run in place of the driver's
// input or ahead of the application's output.
#include <cstdint>

#include "core/Component.h"
#include "dsp/DDSPBase.h"

namespace asio {

class TASIOGenerator : public core::TComponent {
 public:
  explicit TASIOGenerator(core::TComponent* AOwner = nullptr) : core::TComponent(AOwner) {}

  double SampleRate() const { return FSampleRate; }
  void SetSampleRate(double Value) { FSampleRate = Value; }
  uint32_t BlockSize() const { return FBlockSize; }
  void SetBlockSize(uint32_t Value) { FBlockSize = Value; }

  // Fills the first BlockSize samples of each channel of Buffer; never
  // resizes or replaces the arrays. The base writes silence into the first
  // channel only.
  virtual void ProcessBlock(dsp::TArrayOfSingleArray& Buffer, bool IsOutput);

 private:
  double FSampleRate = 44100.0;
  uint32_t FBlockSize = 2048;
};

}  // namespace asio
