#include "serial/linux/TermiosSettings.h"

namespace serial {
namespace {

struct TBaud {
  uint32_t Rate;
  speed_t Code;
};
constexpr TBaud kBauds[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},         {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},       {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},   {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000},
};

}  // namespace

speed_t TableSpeed(uint32_t Rate) {
  for (const TBaud& row : kBauds)
    if (row.Rate == Rate) return row.Code;
  return B0;
}

uint32_t TableRate(speed_t Speed) {
  for (const TBaud& row : kBauds)
    if (row.Code == Speed) return row.Rate;
  return 0;
}

bool DcbToTermios(const TDCB& DCB, termios& Settings) {
  termios tio = Settings;
  cfmakeraw(&tio);
  tio.c_cflag |= CREAD | CLOCAL;
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio.c_iflag &= ~(INPCK | IXON | IXOFF);
  switch (DCB.ByteSize) {
    case 5:
      tio.c_cflag |= CS5;
      break;
    case 6:
      tio.c_cflag |= CS6;
      break;
    case 7:
      tio.c_cflag |= CS7;
      break;
    case 8:
      tio.c_cflag |= CS8;
      break;
    default:
      return false;
  }
  switch (DCB.Parity) {
    case NOPARITY:
      break;
    case ODDPARITY:
      tio.c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      tio.c_cflag |= PARENB;
      break;
    case MARKPARITY:
      tio.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SPACEPARITY:
      tio.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      return false;
  }
  if (DCB.Flags & DCB_fParity) tio.c_iflag |= INPCK;
  switch (DCB.StopBits) {
    case ONESTOPBIT:
      break;
    case ONE5STOPBITS:  // 1.5 stop bits exist only with 5 data bits, where CSTOPB gives them
    case TWOSTOPBITS:
      tio.c_cflag |= CSTOPB;
      break;
    default:
      return false;
  }
  if (DCB.BaudRate == 0) return false;
  // A rate outside the table keeps a placeholder here; the driver sets
  // the real one after this record is applied.
  const speed_t speed = TableSpeed(DCB.BaudRate);
  cfsetispeed(&tio, speed == B0 ? B38400 : speed);
  cfsetospeed(&tio, speed == B0 ? B38400 : speed);
  if ((DCB.Flags & DCB_fOutxCtsFlow) ||
      (DCB.Flags & DCB_fRtsControlMask) == DCB_fRtsControlHandshake)
    tio.c_cflag |= CRTSCTS;
  if (DCB.Flags & DCB_fOutX) tio.c_iflag |= IXON;
  if (DCB.Flags & DCB_fInX) tio.c_iflag |= IXOFF;
  tio.c_cc[VSTART] = static_cast<cc_t>(DCB.XonChar);
  tio.c_cc[VSTOP] = static_cast<cc_t>(DCB.XoffChar);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  Settings = tio;
  return true;
}

void TermiosToDcb(const termios& Settings, TDCB& DCB) {
  switch (Settings.c_cflag & CSIZE) {
    case CS5:
      DCB.ByteSize = 5;
      break;
    case CS6:
      DCB.ByteSize = 6;
      break;
    case CS7:
      DCB.ByteSize = 7;
      break;
    default:
      DCB.ByteSize = 8;
      break;
  }
  if (!(Settings.c_cflag & PARENB))
    DCB.Parity = NOPARITY;
  else if (Settings.c_cflag & CMSPAR)
    DCB.Parity = (Settings.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  else
    DCB.Parity = (Settings.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  DCB.StopBits = (Settings.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
  DCB.XonChar = static_cast<char>(Settings.c_cc[VSTART]);
  DCB.XoffChar = static_cast<char>(Settings.c_cc[VSTOP]);
}

}  // namespace serial
