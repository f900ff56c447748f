#include "frame.h"

#include <bit>
#include <cstring>
#include <limits>

namespace meridan {

static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559,
              "the output frequency arrives as an IEEE 754 single");

CommandFrame CommandFrame::plain(std::uint8_t code) {
    CommandFrame f;
    f.b_[0] = code;
    return f;
}

CommandFrame CommandFrame::forConverter(std::uint8_t code, std::uint8_t index) {
    CommandFrame f = plain(code);
    f.b_[1] = index;
    return f;
}

CommandFrame CommandFrame::withByte(std::uint8_t code, std::uint8_t index, std::uint8_t value) {
    CommandFrame f = forConverter(code, index);
    f.b_[2] = value;
    return f;
}

CommandFrame CommandFrame::withLong(std::uint8_t code, std::uint8_t index, std::int32_t value) {
    CommandFrame f = forConverter(code, index);
    const QByteArray v = encodeInt32(value);
    for (int k = 0; k < 4; ++k)
        f.b_[2 + k] = static_cast<std::uint8_t>(v[k]);
    return f;
}

QByteArray CommandFrame::bytes() const {
    return QByteArray(reinterpret_cast<const char*>(b_.data()), Size);
}

QByteArray encodeInt32(std::int32_t value) {
    const auto u = static_cast<std::uint32_t>(value);
    QByteArray out(4, '\0');
    for (int k = 0; k < 4; ++k)
        out[k] = static_cast<char>((u >> (24 - 8 * k)) & 0xFF);
    return out;
}

static std::uint32_t bigEndian32(const QByteArray& bytes) {
    std::uint32_t u = 0;
    for (int k = 0; k < 4; ++k) {
        const auto byte = k < bytes.size() ? static_cast<std::uint8_t>(bytes[k]) : 0;
        u = (u << 8) | byte;
    }
    return u;
}

std::int32_t decodeInt32(const QByteArray& bytes) {
    return static_cast<std::int32_t>(bigEndian32(bytes));
}

float decodeFloat32(const QByteArray& bytes) {
    return std::bit_cast<float>(bigEndian32(bytes));
}

std::uint8_t gainFromReply(std::uint8_t raw) {
    return raw == 2 ? 1 : raw;
}

QString describeFrame(const QByteArray& frame) {
    if (frame.isEmpty()) return QStringLiteral("(empty frame)");
    const auto code = static_cast<std::uint8_t>(frame[0]);
    const CommandInfo* info = findCommand(code);
    QString s = info ? QStringLiteral("%1 (%2)").arg(QString::fromLatin1(info->meaning)).arg(code)
                     : QStringLiteral("unknown command %1").arg(code);
    auto byteAt = [&](int k) { return k < frame.size() ? static_cast<std::uint8_t>(frame[k]) : 0; };
    if (info) {
        switch (info->shape) {
            case FrameShape::Plain:
                break;
            case FrameShape::Converter:
                s += QStringLiteral(", converter %1").arg(byteAt(1) + 1);
                break;
            case FrameShape::ConverterByte:
                s += QStringLiteral(", converter %1, value %2").arg(byteAt(1) + 1).arg(byteAt(2));
                break;
            case FrameShape::ConverterLong:
                s += QStringLiteral(", converter %1, value %2")
                         .arg(byteAt(1) + 1)
                         .arg(decodeInt32(frame.mid(2, 4)));
                break;
        }
    }
    if (frame.size() != CommandFrame::Size) {
        s += QStringLiteral(" [%1 bytes, expected %2]").arg(frame.size()).arg(CommandFrame::Size);
    }
    return s;
}

}  // namespace meridan
