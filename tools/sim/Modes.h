#pragma once

#include <csignal>
#include <string>

// The simulator's other two ways of running: a recording proxy in front of a real port, and
// the replay of a recorded session. Each prints the pseudo-terminal's path on its first line
// of standard output, as the simulator does, and returns the exit status. `stop` becomes
// non-zero on a stop signal, which is taken only while waiting, with `wait_mask`. The proxy
// replaces an existing `record` only with `overwrite`.
namespace Brivane::Sim {

int RunProxy(const std::string& port, const std::string& record, bool overwrite,
             const sigset_t& wait_mask, const volatile std::sig_atomic_t& stop);

int RunReplay(const std::string& trace, double speed, const sigset_t& wait_mask,
              const volatile std::sig_atomic_t& stop);

}  // namespace Brivane::Sim
