#include <csignal>
#include <string>
#include <vector>

#include "capture/sound_server_scope.h"
#include "src/command_line.h"
#include "src/run.h"
#include "src/status_line.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>

namespace {

// A descriptor 0-2 that the parent left closed would go to the next file we open, the
// recording among them, and the status line would then be written into the recording.
// /dev/null takes any such number first.
void occupy_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open() takes the lowest free number, which is fd: the ones below are open.
        const int opened = open("/dev/null", O_RDWR);
        if (opened > STDERR_FILENO) close(opened);
    }
}

// Until the stop signals are ours, SIGINT or SIGTERM ends the process without a status
// line. .preinit_array entries run before any other code of the process, the shared
// libraries' initialisation included, so the window is just the loading of the program.
void take_stop_signals(int, char**, char**) { helper::install_stop_signals(); }

[[gnu::used,
  gnu::section(".preinit_array")]] void (*const TAKE_STOP_SIGNALS)(int, char**,
                                                                   char**) = take_stop_signals;

}  // namespace

int main(int argc, char** argv) {
    occupy_standard_descriptors();

    // A parent that closed our standard output must not kill us with SIGPIPE; the status
    // write then just fails.
    std::signal(SIGPIPE, SIG_IGN);

    // Arguments are kept as bytes: on Linux a path is any byte string, so an --out that
    // is not UTF-8 names exactly that file.
    const std::vector<std::string> args(argv, argv + argc);

    const std::string out = helper::arg(args, "--out", "");
    if (out.empty()) {
        constexpr std::string_view line = "UNAVAILABLE missing --out\n";
        helper::write_all(STDERR_FILENO, line);
        helper::write_all(STDOUT_FILENO, line);
        return 2;
    }
    const std::uint64_t secs =
        helper::parse_secs(helper::arg(args, "--secs", "600")).value_or(helper::DEFAULT_SECS);

    // Displays and audio come from the desktop's sound server. The platform's workers are
    // joined when the scope ends, at the end of main rather than at exit, while everything
    // they may still touch is alive.
    const capture::SoundServerScope sound_server;
    helper::run(out, secs);
    return 0;
}
