#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <optional>
#include <vector>

namespace meridan::web {

// A QR code's modules, row by row (true: dark).
struct QrCode {
    int size = 0;
    std::vector<bool> dark;
    bool at(int x, int y) const {
        return x >= 0 && y >= 0 && x < size && y < size && dark[std::size_t(y * size + x)];
    }
};

// `text` as a QR code (error correction level M), or nothing when it is too long for one.
std::optional<QrCode> encodeQr(const QByteArray& text);

// For a terminal: two rows of modules a line in half blocks, black on white whatever the
// terminal's colours, with a quiet zone of `quiet` modules.
QString qrTerminalText(const QrCode& code, int quiet = 4);

// As a picture: `scale` pixels a module, a white quiet zone of `quiet` modules.
QImage qrImage(const QrCode& code, int scale, int quiet = 4);

}  // namespace meridan::web
