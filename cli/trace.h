#pragma once

#include <QByteArray>
#include <QList>
#include <QTextStream>
#include <functional>

#include "link/link.h"
#include "protocol/frame.h"

class QIODevice;

namespace meridan::cli {

// Writes every byte on the wire to a text file a support person can read: time since the
// first byte, direction, the bytes in hex and as text, and what they mean (the command of a
// frame with its converter and value, the link words, the values the unit answered).
//
//      0.000000  ->  54 53             TS     connection request
//      0.001021  <-  4f 4b             OK     connection accepted
//      0.501330  ->  18 02 00 ... 00          read input frequency (24), converter 3
//      0.502010  <-  00 00             ..     part of the reply (2 of 4 bytes)
//      0.502360  <-  04 e2             ..     value 1250 (reply 00 00 04 e2)
//
// A real line hands over a reply in pieces: what a reply means is said on the line of the
// piece that completes it, whatever the pieces.
class TraceWriter final : public WireObserver {
  public:
    explicit TraceWriter(QIODevice* out);
    ~TraceWriter() override;
    void onWire(WireDirection direction, const QByteArray& bytes, double time) override;
    void note(const QString& text);

    // Told once, with the system's reason, when the trace cannot be written (a full disk);
    // nothing more is written to it after that.
    std::function<void(const QString& reason)> onFailure;
    bool failed() const { return failed_; }

  private:
    // What the unit is expected to send next.
    enum class Expect { Nothing, Words, Data, TextLength, Text };
    // What follows the program's next "N".
    enum class AfterN { Nothing, Text, EndMark };

    QString meaningToDevice(const QByteArray& bytes);
    // Splits what came from the unit into the parts the protocol gives it, each with its
    // meaning.
    QList<QPair<QByteArray, QString>> partsFromDevice(const QByteArray& bytes);
    QString completed(const QByteArray& reply);
    void expectWords(const QList<QByteArray>& words);
    void line(double time, const char* arrow, const QByteArray& bytes, const QString& meaning);
    void flush();

    QIODevice* device_;
    QTextStream out_;
    double start_ = -1;
    bool failed_ = false;

    Expect expect_ = Expect::Nothing;
    ReplyKind kind_ = ReplyKind::None;
    int need_ = 0;
    QByteArray partial_;
    QList<QByteArray> words_;
    AfterN afterN_ = AfterN::Nothing;
    int textLength_ = 0;
};

}  // namespace meridan::cli
