#pragma once
// Values and records that cross the driver boundary, in the driver
// interface's wire layout (4-byte packing, little-endian).
#include <cstddef>
#include <cstdint>

namespace asio {

using ASIOBool = int32_t;
using ASIOError = int32_t;
using ASIOSampleRate = double;
using ASIOSampleType = int32_t;

constexpr ASIOBool ASIOFalse = 0;
constexpr ASIOBool ASIOTrue = 1;
constexpr ASIOError ASE_OK = 0;
// Future's answer for a supported request.
constexpr ASIOError ASE_SUCCESS = 0x3F4847A0;
// Further status values a driver may answer (any non-zero value is a failure
// to the host; these are the ones the built-in drivers use).
constexpr ASIOError ASE_NotPresent = -1000;
constexpr ASIOError ASE_HWMalfunction = -999;
constexpr ASIOError ASE_InvalidParameter = -998;
constexpr ASIOError ASE_InvalidMode = -997;
constexpr ASIOError ASE_NoClock = -995;
constexpr ASIOError ASE_NoMemory = -994;

// Sample-type codes.
enum : ASIOSampleType {
  ASIOSTInt16MSB = 0,
  ASIOSTInt24MSB = 1,
  ASIOSTInt32MSB = 2,
  ASIOSTFloat32MSB = 3,
  ASIOSTFloat64MSB = 4,
  ASIOSTInt32MSB16 = 8,
  ASIOSTInt32MSB18 = 9,
  ASIOSTInt32MSB20 = 10,
  ASIOSTInt32MSB24 = 11,
  ASIOSTInt16LSB = 16,
  ASIOSTInt24LSB = 17,
  ASIOSTInt32LSB = 18,
  ASIOSTFloat32LSB = 19,
  ASIOSTFloat64LSB = 20,
  ASIOSTInt32LSB16 = 24,
  ASIOSTInt32LSB18 = 25,
  ASIOSTInt32LSB20 = 26,
  ASIOSTInt32LSB24 = 27,
};

#pragma pack(push, 4)

// A 64-bit count as two 32-bit halves, high half first.
struct ASIOSamples {
  uint32_t hi;
  uint32_t lo;
};
struct ASIOTimeStamp {
  uint32_t hi;
  uint32_t lo;
};

struct ASIOChannelInfo {
  int32_t channel;   // set by the caller
  ASIOBool isInput;  // set by the caller
  ASIOBool isActive;
  int32_t channelGroup;
  ASIOSampleType type;
  char name[32];
};
static_assert(sizeof(ASIOChannelInfo) == 52);

// Two pointers, so 24 bytes on a 64-bit target (16 on 32-bit).
struct ASIOBufferInfo {
  ASIOBool isInput;
  int32_t channelNum;
  void* buffers[2];
};
static_assert(sizeof(ASIOBufferInfo) == 8 + 2 * sizeof(void*));

struct ASIOClockSource {
  int32_t index;
  int32_t associatedChannel;
  int32_t associatedGroup;
  ASIOBool isCurrentSource;
  char name[32];
};

// Time information of one buffer half (148 bytes).
struct ASIOTime {
  int32_t reserved[4];            // 0
  double speed;                   // 16
  ASIOTimeStamp systemTime;       // 24
  ASIOSamples samplePosition;     // 32
  double sampleRate;              // 40
  uint32_t flags;                 // 48
  char reserved1[12];             // 52
  double tcSpeed;                 // 64
  ASIOSamples tcTimeCodeSamples;  // 72
  uint32_t tcFlags;               // 80
  char future[64];                // 84
};
static_assert(sizeof(ASIOTime) == 148);
static_assert(offsetof(ASIOTime, speed) == 16);
static_assert(offsetof(ASIOTime, systemTime) == 24);
static_assert(offsetof(ASIOTime, samplePosition) == 32);
static_assert(offsetof(ASIOTime, sampleRate) == 40);
static_assert(offsetof(ASIOTime, flags) == 48);
static_assert(offsetof(ASIOTime, tcSpeed) == 64);
static_assert(offsetof(ASIOTime, tcTimeCodeSamples) == 72);
static_assert(offsetof(ASIOTime, tcFlags) == 80);
static_assert(offsetof(ASIOTime, future) == 84);

// The host's four entry points, in this order.
struct ASIOCallbacks {
  void (*bufferSwitch)(int32_t doubleBufferIndex, ASIOBool directProcess);
  void (*sampleRateDidChange)(ASIOSampleRate sRate);
  int32_t (*asioMessage)(int32_t selector, int32_t value, void* message, double* opt);
  ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* params, int32_t doubleBufferIndex,
                                    ASIOBool directProcess);
};

#pragma pack(pop)

// Time-information flag bits.
constexpr uint32_t kSystemTimeValid = 1;
constexpr uint32_t kSamplePositionValid = 2;
constexpr uint32_t kSampleRateValid = 4;
constexpr uint32_t kSpeedValid = 8;
constexpr uint32_t kSampleRateChanged = 16;
constexpr uint32_t kClockSourceChanged = 32;

// asioMessage selectors.
enum : int32_t {
  kAsioSelectorSupported = 1,
  kAsioEngineVersion = 2,
  kAsioResetRequest = 3,
  kAsioBufferSizeChange = 4,
  kAsioResyncRequest = 5,
  kAsioLatenciesChanged = 6,
  kAsioSupportsTimeInfo = 7,
  kAsioSupportsTimeCode = 8,
  kAsioMMCCommand = 9,
};

// Future selectors for the capability queries.
enum : int32_t {
  kAsioCanTimeInfo = 10,
  kAsioCanTimeCode = 11,
  kAsioCanTransport = 12,
  kAsioCanInputGain = 13,
  kAsioCanInputMeter = 14,
  kAsioCanOutputGain = 15,
  kAsioCanOutputMeter = 16,
};

inline int64_t HiLoToInt64(uint32_t Hi, uint32_t Lo) {
  return static_cast<int64_t>((static_cast<uint64_t>(Hi) << 32) | Lo);
}
inline void Int64ToHiLo(int64_t Value, uint32_t& Hi, uint32_t& Lo) {
  Hi = static_cast<uint32_t>(static_cast<uint64_t>(Value) >> 32);
  Lo = static_cast<uint32_t>(static_cast<uint64_t>(Value) & 0xFFFFFFFFu);
}

}  // namespace asio
