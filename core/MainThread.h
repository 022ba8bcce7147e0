#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

namespace core {

// The main-thread hand-off. Other threads queue calls for the main thread;
// the main thread runs them, strictly in the order they were queued,
// whenever it pumps messages (ProcessMessages, or the window toolkit's own
// event loop through the same hook).
namespace MainThread {

// Marks the calling thread as the main thread. The thread that initialises
// the program is the main thread until this is called.
void SetMainThread();
bool IsMainThread();

// Runs Method on the main thread and returns only after it has run. On the
// main thread itself it runs at once.
void Synchronize(std::function<void()> Method);

// Queues Method for the main thread and returns at once.
void Post(std::function<void()> Method);

// Queues Method to run on the main thread at the first pump at least
// Milliseconds from now (steady clock). Delayed calls run after the calls
// queued before them; a front end that may go long without pumping wakes
// itself with a timer.
void PostDelayed(std::function<void()> Method, uint32_t Milliseconds);

// Main thread only: waits up to Milliseconds (steady clock) for a call to
// be queued, or for a delayed call to fall due, without running anything.
// Answers whether one waits. Returns at once when one already waits.
bool WaitForCalls(uint32_t Milliseconds);
// Ends a WaitForCalls in progress (and the next one, if none runs), as a
// queued call would; a toolkit's own input uses this to end the wait.
void Wake();

// Main thread only: runs every call queued so far, FIFO. Answers whether
// any ran. Calls queued by the calls it runs wait for the next pump.
bool CheckSynchronize();

// Calls waiting to run.
std::size_t Pending();

// Called (on the queueing thread) each time a call is queued, so a toolkit
// can wake its event loop. Empty by default.
void SetWakeHook(std::function<void()> Hook);

}  // namespace MainThread

// The message pump: runs the toolkit's pending events (if a toolkit has
// installed one) and the waiting main-thread calls.
void ProcessMessages();

// Installs the toolkit's pump; it must itself run CheckSynchronize. An
// empty function restores the default, which only runs CheckSynchronize.
void SetMessagePump(std::function<void()> Pump);

}  // namespace core
