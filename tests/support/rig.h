#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "link/deviceport.h"
#include "link/link.h"
#include "messages/linkmessages.h"
#include "messages/messageservice.h"
#include "sim/headendmodel.h"
#include "sim/simulatedport.h"
#include "sim/virtualtime.h"

namespace meridan::test {

// Records every message box and answers it.
class RecordingMessages final : public MessageService {
  public:
    struct Entry {
        QString text;
        QString title;
        MessageIcon icon;
        MessageButtons buttons;
    };
    MessageResult show(const QString& text, const QString& title, MessageIcon icon,
                       MessageButtons buttons) override;
    void restoreCursor() override { ++cursorRestores; }

    QList<Entry> shown;
    int cursorRestores = 0;
    MessageResult answer = MessageResult::Ok;
    QStringList texts() const;
};

// Every byte on the wire with its time.
class WireLog final : public WireObserver {
  public:
    struct Chunk {
        WireDirection direction;
        QByteArray bytes;
        double time;
    };
    void onWire(WireDirection direction, const QByteArray& bytes, double time) override {
        chunks.append({direction, bytes, time});
    }
    QByteArray sent() const;
    QByteArray received() const;
    // Time of the first byte sent that starts with `prefix`, or -1.
    double timeSent(const QByteArray& prefix, int occurrence = 0) const;
    // Time of the last write, or -1.
    double lastSent() const;
    // The command frames (15-byte writes) sent after `time`.
    QList<QByteArray> framesAfter(double time) const;
    int writes() const;

    QList<Chunk> chunks;
};

// A pseudo-terminal that stands in for a serial device which never answers: what a program
// writes to path() can be taken from its other side.
class Pty {
  public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    QString path() const { return path_; }
    // Everything written to the device since the last call.
    QByteArray received();
    // Bytes the device sends to the program.
    void send(const QByteArray& bytes);

  private:
    int master_ = -1;
    int slave_ = -1;
    QString path_;
};

// A TCP port on 127.0.0.1 that nothing listens on: bound, then closed again.
quint16 freeTcpPort();

// A program's link wired to a simulated headend, in virtual time.
struct SimRig {
    SimRig();

    sim::VirtualClock clock;
    sim::HeadendModel model;
    sim::SimulatedPort port{model, clock};
    sim::VirtualPump pump{clock, port};
    RecordingMessages messages;
    LinkMessages reporter{messages, QStringLiteral("Meridan Converter V1.0.0")};
    Link link{port, clock, pump, reporter};
    WireLog wire;
};

// The program's port (serial device or device server) and link, in real time, as main()
// builds them.
struct RealLink {
    explicit RealLink(const PortMap& map = PortMap(), const QString& title = {})
        : port(map), reporter(messages, title) {}
    DevicePort port;
    SteadyClock clock;
    EventLoopPump pump;
    RecordingMessages messages;
    LinkMessages reporter;
    Link link{port, clock, pump, reporter};
};

}  // namespace meridan::test
