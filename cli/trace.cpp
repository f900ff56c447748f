#include "trace.h"

#include <QIODevice>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "protocol/display.h"

namespace meridan::cli {

namespace {
constexpr int BytesPerLine = 16;

QString printable(const QByteArray& bytes) {
    QString s;
    for (char c : bytes)
        s += (c >= 0x20 && c < 0x7f) ? QLatin1Char(c) : QLatin1Char('.');
    return s;
}

QString wordMeaning(const QByteArray& word) {
    return word == "OK" ? QStringLiteral("accepted / ready") : QStringLiteral("end of command");
}
}  // namespace

TraceWriter::TraceWriter(QIODevice* out) : device_(out), out_(out) {}

TraceWriter::~TraceWriter() {
    flush();
}

void TraceWriter::flush() {
    if (failed_) return;
    out_.flush();
    const int error = errno;
    if (out_.status() == QTextStream::Ok) return;
    failed_ = true;
    // The system's reason: the file's own text of it is often "Unknown error".
    if (onFailure) onFailure(QString::fromLocal8Bit(std::strerror(error)));
}

void TraceWriter::note(const QString& text) {
    if (failed_) return;
    out_ << "# " << text << '\n';
    flush();
}

void TraceWriter::line(double time, const char* arrow, const QByteArray& bytes,
                       const QString& meaning) {
    for (qsizetype at = 0; at < bytes.size() || at == 0; at += BytesPerLine) {
        const QByteArray part = bytes.mid(at, BytesPerLine);
        if (at == 0) {
            out_ << QStringLiteral("%1  %2  ").arg(time, 11, 'f', 6).arg(QLatin1String(arrow));
        } else {
            out_ << QStringLiteral("%1  %2  ").arg(QString(), 11).arg(QStringLiteral("  "));
        }
        out_ << QStringLiteral("%1  %2")
                    .arg(QString::fromLatin1(part.toHex(' ')), -BytesPerLine * 3)
                    .arg(printable(part), -BytesPerLine);
        if (at == 0 && !meaning.isEmpty()) out_ << "  " << meaning;
        out_ << '\n';
        if (bytes.isEmpty()) break;
    }
}

void TraceWriter::expectWords(const QList<QByteArray>& words) {
    expect_ = Expect::Words;
    words_ = words;
    partial_.clear();
}

QString TraceWriter::meaningToDevice(const QByteArray& b) {
    if (b == "TS") {
        expectWords({"OK"});
        return QStringLiteral("connection request");
    }
    if (b == "N") {
        switch (std::exchange(afterN_, AfterN::Nothing)) {
            case AfterN::Text:
                if (textLength_ > 0) {
                    expect_ = Expect::Text;
                    need_ = textLength_;
                    partial_.clear();
                } else {
                    afterN_ = AfterN::EndMark;  // an empty text: the next "N" asks for "EN"
                }
                break;
            case AfterN::EndMark:
                expectWords({"EN"});
                break;
            case AfterN::Nothing:
                break;
        }
        return QStringLiteral("acknowledge");
    }
    if (b == "UP") {
        expectWords({"OK"});
        return QStringLiteral("firmware update request");
    }
    if (b.size() == 3 && b.startsWith("OK")) {
        expectWords({"OK", "EN"});
        return QStringLiteral("sector count %1").arg(static_cast<quint8>(b[2]));
    }
    if (b.size() == CommandFrame::Size) {
        const CommandInfo* info = findCommand(static_cast<std::uint8_t>(b[0]));
        kind_ = info ? info->reply : ReplyKind::None;
        afterN_ = AfterN::Nothing;
        partial_.clear();
        switch (kind_) {
            case ReplyKind::Byte:
            case ReplyKind::Int32:
            case ReplyKind::Float32:
                expect_ = Expect::Data;
                need_ = replyBytes(static_cast<std::uint8_t>(b[0]));
                break;
            case ReplyKind::Text:
                expect_ = Expect::TextLength;
                need_ = 1;
                break;
            default:
                expectWords({"EN"});
                break;
        }
        return describeFrame(b);
    }
    if (b.size() >= 1024) {
        expectWords({"OK", "EN"});
        return QStringLiteral("firmware block, %1 bytes").arg(b.size());
    }
    return {};
}

// The meaning of a whole reply, data or text, once its last byte is in.
QString TraceWriter::completed(const QByteArray& b) {
    switch (expect_) {
        case Expect::TextLength:
            textLength_ = static_cast<quint8>(b[0]);
            afterN_ = AfterN::Text;
            return QStringLiteral("text length %1").arg(textLength_);
        case Expect::Text:
            afterN_ = AfterN::EndMark;
            return QStringLiteral("text \"%1\"").arg(printableText(QString::fromLatin1(b)));
        case Expect::Data:
            afterN_ = AfterN::EndMark;
            switch (kind_) {
                case ReplyKind::Int32:
                    return QStringLiteral("value %1").arg(decodeInt32(b));
                case ReplyKind::Float32:
                    return QStringLiteral("value %1").arg(outFreqText(decodeFloat32(b)));
                default:
                    return QStringLiteral("value %1").arg(static_cast<quint8>(b[0]));
            }
        default:
            return {};
    }
}

QList<QPair<QByteArray, QString>> TraceWriter::partsFromDevice(const QByteArray& bytes) {
    QList<QPair<QByteArray, QString>> parts;
    qsizetype at = 0;
    while (at < bytes.size()) {
        switch (expect_) {
            case Expect::Data:
            case Expect::TextLength:
            case Expect::Text: {
                const qsizetype take =
                    std::min<qsizetype>(need_ - partial_.size(), bytes.size() - at);
                const QByteArray piece = bytes.mid(at, take);
                at += take;
                partial_ += piece;
                if (partial_.size() < need_) {
                    parts.append({piece, QStringLiteral("part of the reply (%1 of %2 bytes)")
                                             .arg(partial_.size())
                                             .arg(need_)});
                    break;
                }
                QString meaning = completed(partial_);
                if (piece.size() < partial_.size() && expect_ != Expect::Text) {
                    meaning +=
                        QStringLiteral(" (reply %1)").arg(QLatin1String(partial_.toHex(' ')));
                }
                expect_ = Expect::Nothing;
                partial_.clear();
                parts.append({piece, meaning});
                break;
            }
            case Expect::Words: {
                // Up to the end of the word awaited: noise before it belongs to its line.
                const qsizetype from = at;
                QByteArray word;
                while (at < bytes.size() && word.isEmpty()) {
                    partial_ += bytes[at++];
                    for (const QByteArray& w : std::as_const(words_)) {
                        if (partial_.endsWith(w)) word = w;
                    }
                }
                if (!word.isEmpty()) {
                    expect_ = Expect::Nothing;
                    partial_.clear();
                }
                parts.append(
                    {bytes.mid(from, at - from), word.isEmpty() ? QString() : wordMeaning(word)});
                break;
            }
            case Expect::Nothing:
                parts.append({bytes.mid(at), QString()});
                at = bytes.size();
                break;
        }
    }
    return parts;
}

void TraceWriter::onWire(WireDirection direction, const QByteArray& bytes, double time) {
    if (failed_) return;
    if (start_ < 0) start_ = time;
    if (direction == WireDirection::ToDevice) {
        line(time - start_, "->", bytes, meaningToDevice(bytes));
    } else {
        for (const auto& [piece, meaning] : partsFromDevice(bytes))
            line(time - start_, "<-", piece, meaning);
    }
    // Line by line: an interrupted run keeps its last frames, the part support needs most.
    flush();
}

}  // namespace meridan::cli
