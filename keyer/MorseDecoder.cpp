#include "keyer/MorseDecoder.h"

#include <algorithm>
#include <map>

namespace keyer {

namespace {

constexpr size_t kRecent = 16;

const std::map<std::string, std::string>& Codes() {
  static const std::map<std::string, std::string> codes = {
      {".-", "A"},
      {"-...", "B"},
      {"-.-.", "C"},
      {"-..", "D"},
      {".", "E"},
      {"..-.", "F"},
      {"--.", "G"},
      {"....", "H"},
      {"..", "I"},
      {".---", "J"},
      {"-.-", "K"},
      {".-..", "L"},
      {"--", "M"},
      {"-.", "N"},
      {"---", "O"},
      {".--.", "P"},
      {"--.-", "Q"},
      {".-.", "R"},
      {"...", "S"},
      {"-", "T"},
      {"..-", "U"},
      {"...-", "V"},
      {".--", "W"},
      {"-..-", "X"},
      {"-.--", "Y"},
      {"--..", "Z"},
      {"-----", "0"},
      {".----", "1"},
      {"..---", "2"},
      {"...--", "3"},
      {"....-", "4"},
      {".....", "5"},
      {"-....", "6"},
      {"--...", "7"},
      {"---..", "8"},
      {"----.", "9"},
      {".-.-.-", "."},
      {"--..--", ","},
      {"..--..", "?"},
      {"-..-.", "/"},
      {".----.", "'"},
      {"-.-.--", "!"},
      {"---...", ":"},
      {"-.-.-.", ";"},
      {"-....-", "-"},
      {"..--.-", "_"},
      {".-..-.", "\""},
      {".--.-.", "@"},
      {"-.--.-", ")"},
      // Prosigns, sent as one character.
      {".-.-.", "<AR>"},
      {"...-.-", "<SK>"},
      {"-...-", "<BT>"},
      {"-.--.", "<KN>"},
      {".-...", "<AS>"},
      {"...-.", "<SN>"},
      {"-.-.-", "<KA>"},
      {"........", "<HH>"},
      {"...---...", "<SOS>"},
  };
  return codes;
}

}  // namespace

TMorseDecoder::TMorseDecoder(double DitSamples, bool Tracking)
    : FDit(DitSamples > 0 ? DitSamples : 1), FTracking(Tracking) {}

void TMorseDecoder::SetDitSamples(double Samples) {
  if (Samples > 0) FDit = Samples;
}

void TMorseDecoder::Clear() {
  FText.clear();
  FMarks.clear();
  FLastEnd = -1;
  FWordDone = true;
  FRecent.clear();
}

std::string TMorseDecoder::Character(const std::string& Code) {
  const auto& codes = Codes();
  const auto it = codes.find(Code);
  return it == codes.end() ? std::string("*") : it->second;
}

// The dit is the shortest thing keyed: a dit's mark and the space inside a
// character both last one. Of the recent marks and gaps, those within 1.8
// times the shortest are dits (a dah or a character space, at least 2.4
// dits even when 20 % off, lies above), and their mean is the dit.
void TMorseDecoder::Track(double Length) {
  FRecent.push_back(Length);
  if (FRecent.size() > kRecent) FRecent.pop_front();
  if (!FTracking) return;
  const double shortest = *std::min_element(FRecent.begin(), FRecent.end());
  double sum = 0;
  int n = 0;
  for (double v : FRecent)
    if (v <= 1.8 * shortest) {
      sum += v;
      ++n;
    }
  FDit = sum / n;
}

std::string TMorseDecoder::Pending() const {
  std::string code;
  for (double length : FMarks)
    code += length < 2 * FDit ? '.' : '-';
  return code;
}

void TMorseDecoder::EndCharacter() {
  if (FMarks.empty()) return;
  FText += Character(Pending());
  FMarks.clear();
  FWordDone = false;
}

void TMorseDecoder::Mark(int64_t Start, int64_t End) {
  if (End <= Start) return;
  if (FLastEnd >= 0 && Start > FLastEnd) {
    const double gap = static_cast<double>(Start - FLastEnd);
    Track(gap);
    if (gap > 2 * FDit) EndCharacter();
    if (gap > 5 * FDit && !FWordDone) {
      FText += ' ';
      FWordDone = true;
    }
  }
  const double length = static_cast<double>(End - Start);
  Track(length);
  FMarks.push_back(length);
  FLastEnd = End;
}

void TMorseDecoder::Idle(int64_t Now) {
  if (FLastEnd < 0) return;
  const double gap = static_cast<double>(Now - FLastEnd);
  if (gap > 2 * FDit) EndCharacter();
  if (gap > 5 * FDit && !FWordDone) {
    FText += ' ';
    FWordDone = true;
  }
}

}  // namespace keyer
