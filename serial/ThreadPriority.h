#pragma once
namespace serial {

// Gives the calling thread real-time priority where the system allows it
// (the serial worker and the modem-line watcher, so the machine's load
// stays out of the paddle's road); otherwise it keeps the priority it has.
void RaiseThreadPriority();

}  // namespace serial
