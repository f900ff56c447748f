#include "guirig.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QTest>
#include <QTimer>
#include <csignal>

namespace meridan::test {

FileSizeLimit::FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, SIG_IGN);  // the write fails instead of ending the process
    rlimit lim = old;
    lim.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &lim);
}

QByteArray writeImage(const QString& path, qint64 size, const QDateTime& modified) {
    QByteArray data(size, '\0');
    for (qint64 k = 0; k < size; ++k)
        data[k] = static_cast<char>((k * 13) & 0xFF);
    QFile f(path);
    if (f.open(QIODevice::WriteOnly)) f.write(data);
    f.close();
    if (modified.isValid() && f.open(QIODevice::ReadWrite))
        f.setFileTime(modified, QFileDevice::FileModificationTime);
    return data;
}

MessageResult ExchangeCheckedMessages::show(const QString& text, const QString& title,
                                            MessageIcon icon, MessageButtons buttons) {
    if (link_.waiting() && !link_.owner().isEmpty()) {
        QTest::qFail(
            qPrintable(QStringLiteral("a box inside the wait of the %1 window's exchange: %2")
                           .arg(link_.owner(), text)),
            __FILE__, __LINE__);
    }
    return boxes_.show(text, title, icon, buttons);
}

GuiRig::GuiRig() {
    sim.port.close();
    sim.reporter.setApplicationTitle(MDIForm1::Title);
    dialogs.setFaultHandler([](const QString& fault) {
        QTest::qFail(qPrintable(fault), __FILE__, __LINE__);
        // The dialog opens anyway: closed, so the test goes on.
        QTimer::singleShot(0, [] {
            if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
        });
    });
    settings = std::make_unique<QSettings>(dir.filePath(QStringLiteral("Meridan Converter.conf")),
                                           QSettings::IniFormat);
    data.BackupFolder = backupFolder();
    main = std::make_unique<MDIForm1>(sim.link, data, dialogs, *settings, PortMap(settings.get()));
    main->setProgramFolder(programDir.path());
    main->setFileDialogs(&fileDialogs);
}

GuiRig::~GuiRig() {
    if (main) {
        sim.messages.answer = MessageResult::Cancel;  // no save on the way out
        main->close();
        main.reset();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void GuiRig::start(int stored) {
    if (stored > 0)
        settings->setValue(QStringLiteral("Settings/COM-Port"), QString::number(stored));
    main->Form_Load();
    main->show();
    settle();
}

void GuiRig::onCommand(int code, std::function<void(double)> action) {
    sim.model.setFrameObserver([=, done = false](const sim::HeadendModel::FrameRecord& r) mutable {
        if (done || static_cast<std::uint8_t>(r.frame[0]) != code) return;
        done = true;
        action(r.time);
    });
}

void GuiRig::settle() {
    for (int k = 0; k < 5; ++k) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

}  // namespace meridan::test
