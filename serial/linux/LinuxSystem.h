#pragma once
// The system calls of the Linux port driver, behind one seam: the real
// calls by default, and in tests an emulated device (a pty for the data
// with modem lines of its own). Each answers as the call it stands for:
// -1 with errno set on failure.
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

#include <cstdint>
#include <string>

namespace serial {

class TLinuxSystem {
 public:
  virtual ~TLinuxSystem() = default;

  virtual int Open(const std::string& Path, int Flags);
  virtual int Close(int Fd);
  virtual ssize_t Read(int Fd, void* Buffer, size_t Count);
  virtual ssize_t Write(int Fd, const void* Buffer, size_t Count);
  virtual int Poll(pollfd* Fds, nfds_t Count, int Timeout);
  // ioctl with a pointer argument; TIOCMIWAIT takes its line mask in Arg
  // itself, as the kernel does.
  virtual int Ioctl(int Fd, unsigned long Request, void* Arg);
  virtual int TcGetAttr(int Fd, termios& Settings);
  virtual int TcSetAttr(int Fd, const termios& Settings);
  virtual int TcFlush(int Fd, int Queue);
  virtual int TcFlow(int Fd, int Action);
  // The line's rate in bits per second, any value (the kernel's
  // arbitrary-rate interface).
  virtual int SetRate(int Fd, uint32_t Rate);
  virtual int GetRate(int Fd, uint32_t& Rate);
  virtual int Flock(int Fd, int Operation);
  virtual int Fstat(int Fd, struct stat& Info);
  virtual int IsATty(int Fd);
  // Interrupts a thread's blocking call (the watcher's TIOCMIWAIT).
  virtual int SignalThread(pthread_t Thread, int Signal);
  // Whether a process lives (kill with signal 0; EPERM counts as alive).
  virtual bool ProcessAlive(pid_t Pid);
};

// The real calls.
TLinuxSystem& DefaultLinuxSystem();

}  // namespace serial
