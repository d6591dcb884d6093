#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace helper {

// Set by the SIGINT/SIGTERM/SIGHUP handler, read by the poll loop; never reset.
extern std::atomic<bool> STOP;

// Installs the stop handler (one atomic exchange, nothing else) for SIGTERM, SIGINT and SIGHUP
// (unless SIGHUP is ignored, as under nohup) and lets them through should the parent have started
// us with them blocked (a signal already pending then arrives at once). Safe to call before static
// initialisation: it touches nothing but the signal state.
void install_stop_signals() noexcept;

// Records into `out` until a stop signal, `secs` seconds (at least 1), or until nobody can
// read the status line any more, then prints the one status line. Set-up failures end the
// process through unavailable(). The stop signals must be installed already.
void run(const std::string& out, std::uint64_t secs);

}  // namespace helper
