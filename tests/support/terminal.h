// What a program run on a pseudo-terminal shows.
#pragma once

#include <cerrno>
#include <chrono>
#include <functional>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace catadump::test {

// Reads the terminal into `screen` until the program closes it (true) or `deadline` passes (false).
// `shown`, if given, is called with everything so far after each read: to type answers to what appeared.
inline bool readTerminal(int terminal, std::chrono::steady_clock::time_point deadline, std::string& screen,
                         const std::function<void(const std::string&)>& shown = {}) {
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd ready{terminal, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0) continue;
        char chunk[1024];
        ssize_t got = ::read(terminal, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return true;  // the program has gone and closed the terminal
        screen.append(chunk, static_cast<size_t>(got));
        if (shown) shown(screen);
    }
    return false;
}

}  // namespace catadump::test
