#include "serial/linux/LinuxRate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace serial {

int KernelSetRate(int Fd, uint32_t Rate) {
  struct termios2 settings {};
  if (::ioctl(Fd, TCGETS2, &settings) != 0) return -1;
  settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ospeed = Rate;
  settings.c_ispeed = Rate;
  return ::ioctl(Fd, TCSETS2, &settings);
}

int KernelGetRate(int Fd, uint32_t& Rate) {
  struct termios2 settings {};
  if (::ioctl(Fd, TCGETS2, &settings) != 0) return -1;
  Rate = settings.c_ospeed;
  return 0;
}

}  // namespace serial
