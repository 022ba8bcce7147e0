#include "asio/DASIOGenerator.h"

#include <algorithm>

namespace asio {

void TASIOGenerator::ProcessBlock(dsp::TArrayOfSingleArray& Buffer, bool /*IsOutput*/) {
  if (Buffer.empty()) return;
  dsp::TSingleArray& first = Buffer[0];
  // BlockSize may be stale against the arrays (it is set apart from them),
  // so never go past the array.
  const std::size_t n = std::min<std::size_t>(FBlockSize, first.size());
  std::fill_n(first.begin(), n, 0.0f);
}

}  // namespace asio
