#pragma once
// Reads Morse text back from the key: marks (key-down spans) and the gaps
// between them, in samples. With a known dit length (the iambic modes,
// whose marks are exact) it classifies against that length; tracking, it
// follows the operator's speed from the marks themselves (a straight key).
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace keyer {

class TMorseDecoder {
 public:
  // DitSamples: the dit length to start from (and to keep, when not tracking).
  explicit TMorseDecoder(double DitSamples = 2400, bool Tracking = false);

  // A mark from Start to End (samples, End > Start), after every earlier one.
  void Mark(int64_t Start, int64_t End);
  // No mark has begun by Now: a character (and a word space) whose gap has
  // run out is written.
  void Idle(int64_t Now);

  void SetDitSamples(double Samples);
  void SetTracking(bool Value) { FTracking = Value; }
  bool Tracking() const { return FTracking; }
  // The dit length in use (tracked or set).
  double DitSamples() const { return FDit; }

  // Decoded so far; a character still being keyed is not in it.
  const std::string& Text() const { return FText; }
  // The dots and dashes of the character being keyed, as read now.
  std::string Pending() const;
  void Clear();

  // ".-" -> "A"; prosigns as "<AR>"; an unknown code as "*".
  static std::string Character(const std::string& Code);

 private:
  void EndCharacter();
  void Track(double Length);

  double FDit;
  bool FTracking;
  std::string FText;
  // Marks of the character being keyed. They are read when it ends, with
  // the dit as known by then: the first mark may come before any dit.
  std::vector<double> FMarks;
  int64_t FLastEnd = -1;
  bool FWordDone = true;
  // Recent mark lengths, for the speed tracker.
  std::deque<double> FRecent;
};

}  // namespace keyer
