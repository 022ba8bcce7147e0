#pragma once
// The device-control block in termios terms, both ways.
#include <termios.h>

#include <cstdint>

#include "serial/PortDriver.h"

namespace serial {

// The kernel's constant for a rate of its table, or B0 when it has none
// (such rates go through the arbitrary-rate interface).
speed_t TableSpeed(uint32_t Rate);
uint32_t TableRate(speed_t Speed);

// Rewrites Settings for DCB: raw mode, receiver on, modem lines ignored
// for carrier (CLOCAL), reads that return at once; character size, parity,
// stop bits, hardware and software flow control from the block. Answers
// false for values the line cannot take. The rate is set separately.
bool DcbToTermios(const TDCB& DCB, termios& Settings);

// The fields of DCB that termios holds (size, parity, stop bits, XON/XOFF
// characters); the rest of DCB is left as it is.
void TermiosToDcb(const termios& Settings, TDCB& DCB);

}  // namespace serial
