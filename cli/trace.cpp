#include "trace.h"

#include <QIODevice>

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
}  // namespace

TraceWriter::TraceWriter(QIODevice* out) : out_(out) {}

TraceWriter::~TraceWriter() {
    out_.flush();
}

void TraceWriter::note(const QString& text) {
    out_ << "# " << text << '\n';
    out_.flush();
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

QString TraceWriter::meaningToDevice(const QByteArray& b) {
    if (b == "TS") return QStringLiteral("connection request");
    if (b == "N") return QStringLiteral("acknowledge");
    if (b == "UP") return QStringLiteral("firmware update request");
    if (b.size() == 3 && b.startsWith("OK")) {
        return QStringLiteral("sector count %1").arg(static_cast<quint8>(b[2]));
    }
    if (b.size() == CommandFrame::Size) {
        const CommandInfo* info = findCommand(static_cast<std::uint8_t>(b[0]));
        expected_ = info ? info->reply : ReplyKind::None;
        textFollows_ = false;
        return describeFrame(b);
    }
    if (b.size() >= 1024) return QStringLiteral("firmware block, %1 bytes").arg(b.size());
    return {};
}

QString TraceWriter::meaningFromDevice(const QByteArray& b) {
    if (b == "OK") return QStringLiteral("accepted / ready");
    if (b == "EN") {
        expected_ = ReplyKind::None;
        return QStringLiteral("end of command");
    }
    switch (expected_) {
        case ReplyKind::Byte:
            if (b.size() == 1) return QStringLiteral("value %1").arg(static_cast<quint8>(b[0]));
            break;
        case ReplyKind::Int32:
            if (b.size() == 4) return QStringLiteral("value %1").arg(decodeInt32(b));
            break;
        case ReplyKind::Float32:
            if (b.size() == 4) return QStringLiteral("value %1").arg(outFreqText(decodeFloat32(b)));
            break;
        case ReplyKind::Text:
            if (!textFollows_ && b.size() == 1) {
                textFollows_ = true;
                return QStringLiteral("text length %1").arg(static_cast<quint8>(b[0]));
            }
            if (textFollows_) return QStringLiteral("text \"%1\"").arg(QString::fromLatin1(b));
            break;
        default:
            break;
    }
    return {};
}

void TraceWriter::onWire(WireDirection direction, const QByteArray& bytes, double time) {
    if (start_ < 0) start_ = time;
    const bool toDevice = direction == WireDirection::ToDevice;
    const QString meaning = toDevice ? meaningToDevice(bytes) : meaningFromDevice(bytes);
    line(time - start_, toDevice ? "->" : "<-", bytes, meaning);
    // Line by line: an interrupted run keeps its last frames, the part support needs most.
    out_.flush();
}

}  // namespace meridan::cli
