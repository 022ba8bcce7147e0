#pragma once
#include <cstdint>
#include <string>

namespace serial {

// DescribePortError with the lock directory to read a lock file's owner from.
std::string DescribePortError(const std::string& PortName, uint32_t Code,
                              const std::string& LockDir);

}  // namespace serial
