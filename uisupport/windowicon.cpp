#include "windowicon.h"

#include <QFile>
#include <QIcon>
#include <QWidget>

namespace meridan::ui {

void loadWindowIcon(QWidget* window) {
    const QString file = QStringLiteral("sat.ico");
    if (QFile::exists(file)) window->setWindowIcon(QIcon(file));
}

}  // namespace meridan::ui
