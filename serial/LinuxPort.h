#pragma once
// The Linux port driver (Linux builds only).
#include "serial/linux/LinuxPort.h"
