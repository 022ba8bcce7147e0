#pragma once
// Conversion between the driver sample formats and 32-bit float arrays,
// reached through one process-wide table of routine slots.
#include <cstdint>

#include "asio/ASIOTypes.h"

namespace asio {

// Routine types; every count is a number of samples.
// Readers may rewrite Source in place (the big-endian readers byte-reverse it).
using TDriverToFloat = void (*)(void* Source, float* Destination, int32_t Count);
using TFloatToDriver = void (*)(const float* Source, void* Destination, int32_t Count);
using TBufferProcess = void (*)(float* Buffer, int32_t Count);
using TBufferAdd = void (*)(const float* Source, float* Destination, int32_t Count);
using TBufferScale = void (*)(float* Buffer, int32_t Count, float Factor);

constexpr int kSupportedSampleTypes = 18;

// Slot of a sample-type code in SampleReaders/SampleWriters, or -1 for a
// code without routines (5..7, 12..15, 21..23, above 27, negative).
int SampleTypeSlot(ASIOSampleType Type);
// Bytes per sample of a supported code, 0 for the others.
int SampleTypeSize(ASIOSampleType Type);

enum : uint8_t { pkPlain = 0, pkSSE = 1, pk3DNow = 2 };

struct TConverterTable {
  TDriverToFloat SampleReaders[kSupportedSampleTypes];
  TFloatToDriver SampleWriters[kSupportedSampleTypes];
  TBufferProcess HardClipBuffer;
  TBufferProcess SoftClipBuffer;
  TBufferAdd AddBuffer;
  TBufferScale ScaleBuffer;
  uint8_t ProcessorKind;
};

// The process-wide table. Every slot holds a routine once the program has
// started (static initialisation fills it with the plain family).
extern TConverterTable Converters;

// The routine now in the slot for Type, or nullptr when it has none.
TDriverToFloat SampleReaderFor(ASIOSampleType Type);
TFloatToDriver SampleWriterFor(ASIOSampleType Type);

// Program start: plain routines, then processor detection.
void InitializeConverters();
void UsePlainRoutines();
void UseSSERoutines();
void Use3DNowRoutines();

}  // namespace asio
