#include "interrupt.hpp"

#include <unistd.h>

#include <atomic>
#include <csignal>

#include "cli.hpp"

namespace kelvo::cli {
namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void on_signal(int) {
    // Only async-signal-safe calls here.
    if (g_interrupted.exchange(true)) {
        constexpr char again[] = "\nkelvo: interrupted again; stopping at once\n";
        [[maybe_unused]] const auto n = ::write(STDERR_FILENO, again, sizeof again - 1);
        ::_exit(EXIT_INTERRUPTED);
    }
    constexpr char first[] =
        "\nkelvo: interrupted; finishing the frame in hand (Ctrl-C again stops at once)\n";
    [[maybe_unused]] const auto n = ::write(STDERR_FILENO, first, sizeof first - 1);
}

}  // namespace

void catch_interrupts() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // Restarted system calls: file writes in progress must complete, not fail.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() {
    return g_interrupted.load();
}

}  // namespace kelvo::cli
