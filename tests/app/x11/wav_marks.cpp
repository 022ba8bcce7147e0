// Prints the marks of a recorded sidetone, one per line: start and length
// in milliseconds. A mark is where the tone's envelope (the largest
// magnitude over one period of the lowest tone) stands above half the key
// level of 0.7, which the filter's rise and decay cross symmetrically.
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE.wav\n", argv[0]);
    return 2;
  }
  SF_INFO info{};
  SNDFILE* file = sf_open(argv[1], SFM_READ, &info);
  if (file == nullptr) {
    std::fprintf(stderr, "%s: %s\n", argv[1], sf_strerror(nullptr));
    return 1;
  }
  std::vector<float> frames(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
  const sf_count_t read = sf_readf_float(file, frames.data(), info.frames);
  sf_close(file);
  const double rate = info.samplerate;
  // One period of 500 Hz, the lowest tone, at the file's rate.
  const size_t window = static_cast<size_t>(rate / 500.0) + 1;
  std::vector<float> magnitude(static_cast<size_t>(read));
  for (size_t i = 0; i < magnitude.size(); ++i)
    magnitude[i] = std::fabs(frames[i * static_cast<size_t>(info.channels)]);
  bool on = false;
  size_t start = 0;
  std::printf("# rate %d, %lld frames\n", info.samplerate, static_cast<long long>(read));
  for (size_t i = 0; i + window < magnitude.size(); ++i) {
    float peak = 0;
    for (size_t j = i; j < i + window; ++j)
      peak = std::max(peak, magnitude[j]);
    // The window runs ahead by half a period: centre it.
    const bool above = peak > 0.35f;
    if (above && !on) {
      on = true;
      start = i + window / 2;
    } else if (!above && on) {
      on = false;
      const size_t end = i + window / 2;
      std::printf("%.1f %.1f\n", start * 1000.0 / rate, (end - start) * 1000.0 / rate);
    }
  }
  return 0;
}
