#include "interrupt.h"

#include <unistd.h>
#include <QJsonValue>
#include <csignal>
#include <cstring>

#include "unitresult.h"

namespace meridan::cli {

namespace {
volatile sig_atomic_t traceFd = -1;
volatile sig_atomic_t eventsFd = -1;

// What a second signal leaves behind, written from the signal handler: the state as text and,
// for a unit of a fleet, as the event that says it. Two buffers each, the one not in use is
// filled and then made current.
constexpr size_t StateBytes = 1024;
char stateText[2][StateBytes] = {};
char stateEvent[2][2 * StateBytes] = {};
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

void atOnce(int sig, int count) {
    if (count < 2) return;
    const char* state = stateText[stateCurrent];
    if (eventsFd >= 0) {
        put(eventsFd, stateEvent[stateCurrent]);
    } else {
        put(STDERR_FILENO, "\nmeridan-cli: stopped at once");
        if (*state) {
            put(STDERR_FILENO, ": ");
            put(STDERR_FILENO, state);
        }
        put(STDERR_FILENO, "\n");
    }
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
}  // namespace

QString signalName(int sig) {
    return QString::fromLatin1(nameOf(sig));
}

InterruptWatch::InterruptWatch(int eventFd) : pipe_({SIGINT, SIGTERM, SIGHUP}) {
    eventsFd = eventFd;
    traceFd = -1;
    setStateNow({});
    pipe_.setImmediate(atOnce);
    pipe_.onSignal = [this](int sig) { take(sig); };
}

InterruptWatch::~InterruptWatch() {
    pipe_.setImmediate(nullptr);
    traceFd = -1;
    eventsFd = -1;
}

void InterruptWatch::setStateNow(const QString& state) {
    const int next = 1 - stateCurrent;
    const QByteArray text = state.toUtf8().left(int(StateBytes) - 1);
    std::memcpy(stateText[next], text.constData(), size_t(text.size()));
    stateText[next][text.size()] = '\0';
    const QByteArray event =
        eventLine("said", QStringLiteral("stopped at once") +
                              (state.isEmpty() ? QString() : QStringLiteral(": ") + state))
            .left(int(sizeof stateEvent[0]) - 1);
    std::memcpy(stateEvent[next], event.constData(), size_t(event.size()));
    stateEvent[next][event.size()] = '\0';
    stateCurrent = next;
}

void InterruptWatch::setTraceDescriptor(int fd) {
    traceFd = fd;
}

void InterruptWatch::take(int sig) {
    if (signal_ != 0) return;
    signal_ = sig;
    if (onInterrupt) onInterrupt(signal_);
}

int InterruptWatch::received() {
    pipe_.takeIn();
    return signal_;
}

}  // namespace meridan::cli
