#pragma once
// The keyer's envelope filter as the main window stores it: Butterworth
// low-pass, order 1, 150 Hz at 48000 samples per second.
#include "dsp/dspIIRFilters.h"
#include "keyer/Keyer.h"

namespace keyer {

// Applies the stored settings the way a stored form does: loading state,
// the properties, then the end-of-loading design.
inline void StoreEnvelopeFilter(dsp::TdspIIRFilter& Filter) {
  Filter.BeginLoading();
  Filter.SetKind(dsp::fkButterworth);
  Filter.SetResponse(dsp::ftLowpass);
  Filter.SetFrequency1(150);
  Filter.SetFrequency2(150);
  Filter.SetSampleRate(48000);
  Filter.SetRipple(0.1L);
  Filter.EndLoading();
}

// The filter as the keyer's envelope: ProcessSample is called straight on
// the filter (a redesign swaps what it runs, never the object).
inline TEnvelopeFilter EnvelopeFilterOf(dsp::TdspIIRFilter& Filter) {
  TEnvelopeFilter f;
  f.Filter = &Filter;
  f.ProcessSample = [](void* filter, core::Extended input) {
    return static_cast<dsp::TdspIIRFilter*>(filter)->ProcessSample(input);
  };
  f.SetFrequency1 = [](void* filter, core::Extended hz) {
    static_cast<dsp::TdspIIRFilter*>(filter)->SetFrequency1(hz);
  };
  f.AtRest = [](void* filter, core::Extended& output) {
    return static_cast<dsp::TdspIIRFilter*>(filter)->AtRest(output);
  };
  return f;
}

}  // namespace keyer
