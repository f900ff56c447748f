#include "listindex.h"

#include <QComboBox>
#include <QListWidget>
#include <QSignalBlocker>

namespace meridan::ui {

void ModListindex(QWidget* control, int index) {
    if (auto* combo = qobject_cast<QComboBox*>(control)) {
        const QSignalBlocker block(combo);
        combo->setCurrentIndex(index >= 0 && index < combo->count() ? index : -1);
    } else if (auto* list = qobject_cast<QListWidget*>(control)) {
        const QSignalBlocker block(list);
        list->setCurrentRow(index >= 0 && index < list->count() ? index : -1);
    }
}

}  // namespace meridan::ui
