#include "serial/linux/LinuxSystem.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "serial/linux/LinuxRate.h"

namespace serial {

int TLinuxSystem::Open(const std::string& Path, int Flags) {
  return ::open(Path.c_str(), Flags);
}
int TLinuxSystem::Close(int Fd) {
  return ::close(Fd);
}
ssize_t TLinuxSystem::Read(int Fd, void* Buffer, size_t Count) {
  return ::read(Fd, Buffer, Count);
}
ssize_t TLinuxSystem::Write(int Fd, const void* Buffer, size_t Count) {
  return ::write(Fd, Buffer, Count);
}
int TLinuxSystem::Poll(pollfd* Fds, nfds_t Count, int Timeout) {
  return ::poll(Fds, Count, Timeout);
}
int TLinuxSystem::Ioctl(int Fd, unsigned long Request, void* Arg) {
  return ::ioctl(Fd, Request, Arg);
}
int TLinuxSystem::TcGetAttr(int Fd, termios& Settings) {
  return ::tcgetattr(Fd, &Settings);
}
int TLinuxSystem::TcSetAttr(int Fd, const termios& Settings) {
  return ::tcsetattr(Fd, TCSANOW, &Settings);
}
int TLinuxSystem::TcFlush(int Fd, int Queue) {
  return ::tcflush(Fd, Queue);
}
int TLinuxSystem::TcFlow(int Fd, int Action) {
  return ::tcflow(Fd, Action);
}
int TLinuxSystem::SetRate(int Fd, uint32_t Rate) {
  return KernelSetRate(Fd, Rate);
}
int TLinuxSystem::GetRate(int Fd, uint32_t& Rate) {
  return KernelGetRate(Fd, Rate);
}
int TLinuxSystem::Flock(int Fd, int Operation) {
  return ::flock(Fd, Operation);
}
int TLinuxSystem::Fstat(int Fd, struct stat& Info) {
  return ::fstat(Fd, &Info);
}
int TLinuxSystem::IsATty(int Fd) {
  return ::isatty(Fd);
}
int TLinuxSystem::SignalThread(pthread_t Thread, int Signal) {
  const int error = ::pthread_kill(Thread, Signal);
  if (error == 0) return 0;
  errno = error;
  return -1;
}
bool TLinuxSystem::ProcessAlive(pid_t Pid) {
  return ::kill(Pid, 0) == 0 || errno == EPERM;
}

TLinuxSystem& DefaultLinuxSystem() {
  static TLinuxSystem* system = new TLinuxSystem;  // outlives every driver
  return *system;
}

}  // namespace serial
