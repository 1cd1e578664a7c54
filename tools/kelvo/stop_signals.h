// Ctrl-C, SIGTERM and SIGHUP end kelvo cleanly: the exchange under way ends
// (bounded by the time-out), the object is closed as usual (logout, link lock
// released), the trace channel's name is removed at exit, and the exit status
// is 128 + the signal's number. A second signal ends the program at once: the
// kernel frees the link lock, the channel's name is removed, no logout.
//
// The signals are taken on a thread of their own (sigwait), so no handler
// interrupts the component, which installs none itself.
#pragma once

namespace kelvo::tool {

// Blocks the signals in the calling thread and every thread made after it,
// and starts the thread that takes them. Call first thing in main.
void TakeStopSignals();

// The signal that asked the program to stop so far, or 0.
int StopSignal();

// Ends the taking of signals at the end of the program and returns the signal
// that asked it to stop, or 0; a signal sent before the call counts even when
// the thread had not taken it yet. Later signals end the program as usual.
int EndStopSignals();

} // namespace kelvo::tool
