#pragma once

#include <QSet>

#include "headendmodel.h"
#include "link/clock.h"
#include "link/port.h"

namespace meridan::sim {

// A serial port wired straight to a simulated headend, for running the program's link and
// windows without hardware in one process. deliver() hands over what the device has sent
// by the given time.
class SimulatedPort final : public Port {
    Q_OBJECT
  public:
    SimulatedPort(HeadendModel& model, Clock& clock, QObject* parent = nullptr);

    void setPortNumber(int number) override { number_ = number; }
    int portNumber() const override { return number_; }
    QString deviceName() const override;
    bool open() override;
    void close() override { open_ = false; }
    bool isOpen() const override { return open_; }
    QString errorText() const override { return error_; }
    qint64 write(const QByteArray& data) override;
    // A paced headend takes bytes at the line rate: what it has not taken yet is still to be
    // written.
    qint64 bytesToWrite() const override;
    // Only a unit behind a buffer: a paced unit takes bytes at the line rate, an unpaced one
    // has no line rate at all.
    bool buffersWrites() const override { return model_.buffering(); }
    QByteArray readAll() override;

    HeadendModel& model() { return model_; }
    // Hands over the device's answers due by `time` and reports bytes that have left.
    void deliver(double time);
    // The next time something happens on the line.
    double nextEventTime(double now) const;
    // Port numbers that open; the device answers on any of them. Default: all.
    void setAvailablePorts(const QSet<int>& numbers) { available_ = numbers; }
    // The adapter is pulled: the port closes and reports it once.
    void loseDevice();
    void injectEvent(PortEvent event) { Q_EMIT eventOccurred(event); }
    // The line is held (a handshake line the adapter waits on): what is written stays in the
    // port until it is released.
    void setHeld(bool held);
    int opens() const { return opens_; }

  private:
    HeadendModel& model_;
    Clock& clock_;
    QSet<int> available_;
    QByteArray rx_;
    QByteArray held_;
    bool holding_ = false;
    qint64 reportedPending_ = 0;
    QString error_;
    int number_ = 1;
    int opens_ = 0;
    bool open_ = false;
};

}  // namespace meridan::sim
