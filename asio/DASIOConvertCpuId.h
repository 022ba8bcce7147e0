#pragma once
// Processor identification as the converter start-up sees it. Detection goes
// through a replaceable query so that tests can present any processor,
// including one whose identification instruction faults.
#include <cstdint>

namespace asio {

struct TCpuIdRegisters {
  uint32_t EAX = 0;
  uint32_t EBX = 0;
  uint32_t ECX = 0;
  uint32_t EDX = 0;
};

// Answers the identification leaf Leaf in Regs, or returns false when the
// query faults (a processor without the identification instruction).
using TCpuIdQuery = bool (*)(uint32_t Leaf, TCpuIdRegisters& Regs);

// The processor's own query; false on targets without the instruction.
bool ProcessorCpuId(uint32_t Leaf, TCpuIdRegisters& Regs);

// Installs the query InitializeConverters uses; nullptr restores
// ProcessorCpuId. Call InitializeConverters again to re-run detection.
void SetCpuIdQuery(TCpuIdQuery Query);

}  // namespace asio
