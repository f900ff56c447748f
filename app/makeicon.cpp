// Draws the program's icon, a satellite dish, and writes it as an .ico file.
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: meridan-makeicon OUT.ico [OUT.png]\n");
        return 2;
    }
    const int s = 48;
    QImage img(s, s, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(s / 48.0, s / 48.0);

    // Mast and foot.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(70, 70, 80));
    p.drawRect(QRectF(22, 28, 5, 16));
    p.drawRoundedRect(QRectF(13, 42, 23, 5), 2, 2);

    // The dish, turned up towards the sky.
    p.save();
    p.translate(22, 22);
    p.rotate(-35);
    QLinearGradient shade(-18, 0, 18, 0);
    shade.setColorAt(0, QColor(250, 250, 252));
    shade.setColorAt(1, QColor(170, 180, 195));
    p.setBrush(shade);
    p.setPen(QPen(QColor(40, 50, 70), 1.6));
    QPainterPath dish;
    dish.moveTo(-19, 0);
    dish.cubicTo(-15, 15, 15, 15, 19, 0);
    dish.closeSubpath();
    p.drawPath(dish);
    p.setBrush(QColor(215, 220, 230));
    p.drawEllipse(QRectF(-19, -3.5, 38, 7));

    // Feed arm and the receiver head at its focus.
    p.setPen(QPen(QColor(40, 50, 70), 2));
    p.drawLine(QPointF(0, 8), QPointF(0, -15));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 40, 40));
    p.drawRoundedRect(QRectF(-3.5, -21, 7, 7), 1.5, 1.5);
    p.restore();
    p.end();

    for (int k = 1; k < argc; ++k) {
        const QString path = QString::fromLocal8Bit(argv[k]);
        QImageWriter writer(path, path.endsWith(QLatin1String(".png")) ? "png" : "ico");
        if (!writer.write(img)) {
            std::fprintf(stderr, "meridan-makeicon: %s: %s\n", argv[k],
                         qPrintable(writer.errorString()));
            return 1;
        }
    }
    return 0;
}
