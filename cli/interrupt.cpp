#include "interrupt.h"

#include <fcntl.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <csignal>

namespace meridan::cli {

namespace {
int signalPipe[2] = {-1, -1};
volatile sig_atomic_t signalsSeen = 0;

void onSignal(int sig) {
    const sig_atomic_t seen = signalsSeen;
    signalsSeen = seen + 1;
    if (seen > 0) {
        static const char text[] = "\nmeridan-cli: stopped at once\n";
        [[maybe_unused]] const ssize_t w = ::write(STDERR_FILENO, text, sizeof text - 1);
        ::_exit(128 + sig);
    }
    const char c = static_cast<char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}
}  // namespace

InterruptWatch::InterruptWatch() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    signalsSeen = 0;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    notifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &InterruptWatch::takeIn);
}

InterruptWatch::~InterruptWatch() {
    if (signalPipe[0] < 0) return;
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    notifier_.reset();
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

void InterruptWatch::takeIn() {
    char c = 0;
    if (signalPipe[0] < 0 || ::read(signalPipe[0], &c, 1) != 1) return;
    if (signal_ != 0) return;
    signal_ = c;
    if (onInterrupt) onInterrupt(signal_);
}

int InterruptWatch::received() {
    takeIn();
    return signal_;
}

}  // namespace meridan::cli
