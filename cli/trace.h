#pragma once

#include <QByteArray>
#include <QTextStream>

#include "link/link.h"
#include "protocol/frame.h"

class QIODevice;

namespace meridan::cli {

// Writes every byte on the wire to a text file a support person can read: time since the
// first byte, direction, the bytes in hex and as text, and what they mean (the command of a
// frame with its converter and value, the link words, the values the unit answered).
//
//      0.000000  ->  54 53                                  TS     connection request
//      0.001021  <-  4f 4b                                  OK     connection accepted
//      0.501330  ->  18 02 00 00 00 00 00 00 00 00 00 00 00 00 00   read input frequency (24),
//      converter 3 0.502010  <-  00 00 04 e2                                   value 1250
class TraceWriter final : public WireObserver {
  public:
    explicit TraceWriter(QIODevice* out);
    ~TraceWriter() override;
    void onWire(WireDirection direction, const QByteArray& bytes, double time) override;
    void note(const QString& text);

  private:
    QString meaningToDevice(const QByteArray& bytes);
    QString meaningFromDevice(const QByteArray& bytes);
    void line(double time, const char* arrow, const QByteArray& bytes, const QString& meaning);

    QTextStream out_;
    double start_ = -1;
    ReplyKind expected_ = ReplyKind::None;
    bool textFollows_ = false;
};

}  // namespace meridan::cli
