#pragma once

namespace Brivane::HardwareAPI::Interrupt {

// Whether a signal that interrupted a wait for the device should end the operation. The
// library itself knows no signals: a program (the Python module) gives each stream it opens
// a check that runs its own handlers and answers true when one of them asks to stop
// (IO::SerialStream::SetInterruptCheck). A stream without one (null) lets every wait run to
// its end.
using Check = bool (*)();

// Wakes every wait of the process so that it asks the check at once: for a program whose
// stop request comes on another thread (a console's Ctrl-C handler on Windows), called
// once the check will say so. Safe from any thread. Without it, a wait that no signal
// interrupts asks the check only now and then. Defined by the platform layer, whose waits
// it wakes.
void Wake();

// Called by a wait that a signal interrupted, with its stream's check. True when the check
// asked to stop: from then on every read and write of this thread's operation ends at once,
// without traffic, until Take() is called.
bool Poll(Check check);
bool Pending();
// Whether the operation was stopped, clearing the mark for the next one.
bool Take();

}  // namespace Brivane::HardwareAPI::Interrupt
