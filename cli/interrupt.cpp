#include "interrupt.h"

#include <fcntl.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <csignal>
#include <cstring>

namespace meridan::cli {

namespace {
int signalPipe[2] = {-1, -1};
volatile sig_atomic_t signalsSeen = 0;
volatile sig_atomic_t traceFd = -1;

// The state a second signal leaves behind, written from the signal handler: two buffers, the
// one not in use is filled and then made current.
constexpr size_t StateBytes = 1024;
char stateText[2][StateBytes] = {};
volatile sig_atomic_t stateCurrent = 0;

void put(int fd, const char* text) {
    if (fd < 0) return;
    for (size_t left = std::strlen(text); left > 0;) {
        const ssize_t n = ::write(fd, text, left);
        if (n <= 0) return;
        text += n;
        left -= size_t(n);
    }
}

const char* nameOf(int sig) {
    return sig == SIGTERM ? "SIGTERM" : sig == SIGHUP ? "SIGHUP" : "Ctrl+C";
}

void onSignal(int sig) {
    const sig_atomic_t seen = signalsSeen;
    signalsSeen = seen + 1;
    if (seen > 0) {
        const char* state = stateText[stateCurrent];
        put(STDERR_FILENO, "\nmeridan-cli: stopped at once");
        if (*state) {
            put(STDERR_FILENO, ": ");
            put(STDERR_FILENO, state);
        }
        put(STDERR_FILENO, "\n");
        const int code = 128 + sig;
        const char digits[] = {char('0' + code / 100), char('0' + code / 10 % 10),
                               char('0' + code % 10), '\0'};
        const int fd = traceFd;
        put(fd, "# stopped at once by ");
        put(fd, nameOf(sig));
        if (*state) {
            put(fd, ": ");
            put(fd, state);
        }
        put(fd, "\n# ended with exit code ");
        put(fd, digits);
        put(fd, "\n");
        ::_exit(code);
    }
    const char c = static_cast<char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}
}  // namespace

InterruptWatch::InterruptWatch() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    signalsSeen = 0;
    stateText[0][0] = stateText[1][0] = '\0';
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
    notifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &InterruptWatch::takeIn);
}

InterruptWatch::~InterruptWatch() {
    if (signalPipe[0] < 0) return;
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        std::signal(sig, SIG_DFL);
    traceFd = -1;
    notifier_.reset();
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

void InterruptWatch::setStateNow(const QString& state) {
    const int next = 1 - stateCurrent;
    const QByteArray text = state.toUtf8().left(int(StateBytes) - 1);
    std::memcpy(stateText[next], text.constData(), size_t(text.size()));
    stateText[next][text.size()] = '\0';
    stateCurrent = next;
}

void InterruptWatch::setTraceDescriptor(int fd) {
    traceFd = fd;
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
