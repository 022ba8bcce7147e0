#pragma once
// The words the operator reads for a port that could not be opened or
// stopped working.
#include <cstdint>
#include <string>

namespace serial {

// PortName and the error code of a failed port operation (as
// OnProcessError or GetLastError reports it) in words, for example
// "COM3: cannot open: no such device". Each platform's back end knows its
// own codes; the codes of PortDriver.h mean the same everywhere.
std::string DescribePortError(const std::string& PortName, uint32_t Code);

}  // namespace serial
