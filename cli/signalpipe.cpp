#include "signalpipe.h"

#include <fcntl.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

namespace meridan::cli {

namespace {
int signalPipe[2] = {-1, -1};
volatile sig_atomic_t interrupts = 0;
SignalPipe::Immediate immediateAction = nullptr;
sigset_t handled;

void handleSignal(int sig) {
    const int saved = errno;
    if (sig != SIGCHLD) {
        interrupts = interrupts + 1;
        if (immediateAction) immediateAction(sig, interrupts);
    }
    const char c = static_cast<char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
    errno = saved;
}

void closePipe() {
    for (int& fd : signalPipe) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

void restoreDefaults() {
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(&handled, sig) == 1) std::signal(sig, SIG_DFL);
    }
    sigemptyset(&handled);
}
}  // namespace

SignalPipe::SignalPipe(std::initializer_list<int> signals) {
    if (signalPipe[0] >= 0 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    interrupts = 0;
    immediateAction = nullptr;
    struct sigaction sa {};
    sa.sa_handler = handleSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&handled);
    for (const int sig : signals) {
        sigaddset(&handled, sig);
        ::sigaction(sig, &sa, nullptr);
    }
    // Signals held back until now (a unit of a fleet is made with them blocked) come now.
    ::pthread_sigmask(SIG_UNBLOCK, &handled, nullptr);
    notifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &SignalPipe::takeIn);
}

SignalPipe::~SignalPipe() {
    if (!notifier_) return;
    restoreDefaults();
    immediateAction = nullptr;
    notifier_.reset();
    closePipe();
}

void SignalPipe::setImmediate(Immediate immediate) {
    immediateAction = immediate;
}

void SignalPipe::takeIn() {
    char c = 0;
    while (signalPipe[0] >= 0 && ::read(signalPipe[0], &c, 1) == 1) {
        if (onSignal) onSignal(static_cast<unsigned char>(c));
    }
}

void SignalPipe::forgetAfterFork() {
    restoreDefaults();
    immediateAction = nullptr;
    interrupts = 0;
    closePipe();
}

}  // namespace meridan::cli
