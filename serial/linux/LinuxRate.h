#pragma once
// The kernel's arbitrary-rate interface (TCGETS2/TCSETS2 with BOTHER).
// Kept apart: its records cannot share a unit with the C library's <termios.h>.
#include <cstdint>

namespace serial {

int KernelSetRate(int Fd, uint32_t Rate);
int KernelGetRate(int Fd, uint32_t& Rate);

}  // namespace serial
