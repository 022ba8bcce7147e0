#include "serial/ThreadPriority.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>

namespace serial {

void RaiseThreadPriority() {
  // Below the audio thread's 70: a buffer must never wait for a line event.
  sched_param param{};
  param.sched_priority = std::max(sched_get_priority_min(SCHED_FIFO), 60);
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

}  // namespace serial
