#pragma once
// Sample arrays in which the audio host hands blocks of samples to the
// application and to the format converters.
#include <vector>

namespace dsp {

// One channel's samples for one buffer half; a resize fills with 0.0.
using TSingleArray = std::vector<float>;
// One TSingleArray per channel, indexed [channel][sample].
using TArrayOfSingleArray = std::vector<TSingleArray>;

}  // namespace dsp
