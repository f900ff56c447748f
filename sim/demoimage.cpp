// meridan-demo-image: writes a firmware image of our own for trying the update on the
// simulated headend. It is not firmware for any real module.
#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>
#include <cstdio>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: meridan-demo-image OUT.bin [BYTES]\n");
        return 2;
    }
    const qint64 size = argc > 2 ? QByteArray(argv[2]).toLongLong() : 3 * 65536 - 1000;
    QByteArray data =
        QByteArrayLiteral("Meridan demo image for the simulated headend - not for real modules\n");
    QRandomGenerator gen(20261206);  // the same bytes on every build
    while (data.size() < size) {
        const quint32 v = gen.generate();
        data.append(reinterpret_cast<const char*>(&v), sizeof v);
    }
    data.truncate(size);
    QFile f(QString::fromLocal8Bit(argv[1]));
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size()) {
        std::fprintf(stderr, "meridan-demo-image: %s\n", qPrintable(f.errorString()));
        return 1;
    }
    return 0;
}
