// Text read back from key-down spans: exact timing as the iambic keyer
// makes it, and a straight key's uneven hand at several speeds.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "keyer/MorseDecoder.h"

namespace keyer::testing {
namespace {

// The code of one character, found by asking the decoder's own table
// backwards over every code up to nine elements.
std::string CodeOf(const std::string& Character) {
  static std::map<std::string, std::string> reverse = [] {
    std::map<std::string, std::string> r;
    for (int length = 1; length <= 9; ++length)
      for (int bits = 0; bits < (1 << length); ++bits) {
        std::string code;
        for (int i = length - 1; i >= 0; --i)
          code += (bits >> i) & 1 ? '-' : '.';
        const std::string c = TMorseDecoder::Character(code);
        if (c != "*") r[c] = code;
      }
    return r;
  }();
  return reverse.at(Character);
}

// Splits "CQ <AR>" into characters and word breaks (" ").
std::vector<std::string> Characters(const std::string& Text) {
  std::vector<std::string> out;
  for (size_t i = 0; i < Text.size(); ++i) {
    if (Text[i] == '<') {
      const size_t end = Text.find('>', i);
      out.push_back(Text.substr(i, end - i + 1));
      i = end;
    } else {
      out.push_back(std::string(1, Text[i]));
    }
  }
  return out;
}

// Keys Text into the decoder with a dit of Dit samples; every mark and
// gap is stretched by a random factor within 1 +- Jitter.
std::string Key(TMorseDecoder& Decoder, const std::string& Text, double Dit, double Jitter,
                uint32_t Seed = 1) {
  std::mt19937 random(Seed);
  std::uniform_real_distribution<double> spread(1 - Jitter, 1 + Jitter);
  const auto len = [&](double Dits) { return static_cast<int64_t>(Dits * Dit * spread(random)); };
  int64_t t = 1000;
  double gap = 0;
  for (const std::string& c : Characters(Text)) {
    if (c == " ") {
      gap = 7;
      continue;
    }
    for (char e : CodeOf(c)) {
      t += gap > 0 ? len(gap) : 0;
      const int64_t end = t + len(e == '-' ? 3 : 1);
      Decoder.Mark(t, end);
      t = end;
      gap = 1;
    }
    gap = gap == 7 ? 7 : 3;
  }
  Decoder.Idle(t + len(10));
  return Decoder.Text();
}

TEST(MorseDecoder, ExactElementsAtAKnownSpeed) {
  TMorseDecoder decoder(2400);
  EXPECT_EQ(Key(decoder, "CQ CQ DE PA3X <AR> 73", 2400, 0), "CQ CQ DE PA3X <AR> 73 ");
  decoder.Clear();
  EXPECT_EQ(decoder.Text(), "");
  // A character is only written once its gap has run out.
  decoder.Mark(0, 2400);
  decoder.Mark(4800, 12000);
  EXPECT_EQ(decoder.Pending(), ".-");
  decoder.Idle(12000 + 2 * 2400);
  EXPECT_EQ(decoder.Text(), "");
  decoder.Idle(12000 + 2 * 2400 + 1);
  EXPECT_EQ(decoder.Text(), "A");
  decoder.Idle(12000 + 6 * 2400);
  EXPECT_EQ(decoder.Text(), "A ");
  decoder.Mark(40000, 42400);
  decoder.Idle(60000);
  EXPECT_EQ(decoder.Text(), "A E ");
}

TEST(MorseDecoder, TablesProsignsAndUnknownCodes) {
  EXPECT_EQ(TMorseDecoder::Character(".-.-."), "<AR>");
  EXPECT_EQ(TMorseDecoder::Character("...-.-"), "<SK>");
  EXPECT_EQ(TMorseDecoder::Character("-...-"), "<BT>");
  EXPECT_EQ(TMorseDecoder::Character("-----"), "0");
  EXPECT_EQ(TMorseDecoder::Character("..--.."), "?");
  EXPECT_EQ(TMorseDecoder::Character(".-.-.-.-.-"), "*");
  EXPECT_EQ(TMorseDecoder::Character(""), "*");
}

TEST(MorseDecoder, AStraightKeyIsFollowedAtItsOwnSpeedThroughAnUnevenHand) {
  const std::string text = "CQ CQ DE W1AW W1AW PSE K <SK> 73 TU QRZ? 599 5NN";
  // 10, 20 and 40 WPM at 48000 samples a second, each mark and gap up to
  // 20 % long or short; the decoder starts out believing 20 WPM.
  for (const double wpm : {10.0, 20.0, 40.0}) {
    const double dit = 48000.0 / wpm;
    for (uint32_t seed = 1; seed <= 20; ++seed) {
      TMorseDecoder decoder(2400, true);
      EXPECT_EQ(Key(decoder, text, dit, 0.2, seed), text + " ") << wpm << " WPM, seed " << seed;
      EXPECT_NEAR(decoder.DitSamples(), dit, 0.2 * dit) << wpm;
    }
  }
}

TEST(MorseDecoder, WithoutTrackingTheSetSpeedHolds) {
  TMorseDecoder decoder(2400, false);
  // Keyed at 10 WPM, read as 20: every mark is a dah.
  Key(decoder, "E", 4800, 0);
  EXPECT_EQ(decoder.Text(), "T ");
  EXPECT_EQ(decoder.DitSamples(), 2400);
}

}  // namespace
}  // namespace keyer::testing
