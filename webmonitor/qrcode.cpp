#include "qrcode.h"

#include <qrencode.h>

#include <QPainter>
#include <memory>

namespace meridan::web {

std::optional<QrCode> encodeQr(const QByteArray& text) {
    const std::unique_ptr<QRcode, decltype(&QRcode_free)> qr(
        QRcode_encodeString8bit(text.constData(), 0, QR_ECLEVEL_M), &QRcode_free);
    if (!qr) return std::nullopt;
    QrCode code;
    code.size = qr->width;
    code.dark.resize(std::size_t(qr->width) * std::size_t(qr->width));
    for (std::size_t k = 0; k < code.dark.size(); ++k)
        code.dark[k] = (qr->data[k] & 1) != 0;
    return code;
}

QString qrTerminalText(const QrCode& code, int quiet) {
    // The foreground paints the upper module of a cell, the background the lower one.
    const QString ink = QStringLiteral("\x1b[30;107m");
    const QString reset = QStringLiteral("\x1b[0m");
    QString text;
    for (int y = -quiet; y < code.size + quiet; y += 2) {
        text += ink;
        for (int x = -quiet; x < code.size + quiet; ++x) {
            const bool top = code.at(x, y);
            const bool bottom = y + 1 < code.size + quiet && code.at(x, y + 1);
            text += top && bottom ? QChar(0x2588)
                    : top         ? QChar(0x2580)
                    : bottom      ? QChar(0x2584)
                                  : QChar(' ');
        }
        text += reset + QLatin1Char('\n');
    }
    return text;
}

QImage qrImage(const QrCode& code, int scale, int quiet) {
    const int side = (code.size + 2 * quiet) * scale;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    for (int y = 0; y < code.size; ++y) {
        for (int x = 0; x < code.size; ++x) {
            if (code.at(x, y))
                painter.fillRect((x + quiet) * scale, (y + quiet) * scale, scale, scale, Qt::black);
        }
    }
    return image;
}

}  // namespace meridan::web
