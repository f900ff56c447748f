#include "form_filelist.h"

#include <QFile>
#include <QLabel>
#include <QListWidget>

#include "uisupport/pointer.h"
#include "uisupport/twips.h"
#include "uisupport/windowicon.h"

namespace meridan {

Form_Filelist::Form_Filelist(const QStringList& names, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("Form_Filelist"));
    setWindowTitle(QStringLiteral("Fileselection"));
    setFont(ui::arial(9.75, false));
    setFixedSize(ui::twipsToPixels(4800), ui::twipsToPixels(3780));
    ui::loadWindowIcon(this);

    Label1 = ui::place(new QLabel(QStringLiteral("Please select File:"), this), "Label1", -1, 240,
                       180, 4320, 300, font());
    List1 = ui::place(new QListWidget(this), "List1", -1, 240, 600, 4320, 2940, font());
    List1->addItems(names);
    connect(List1, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
        chosen_ = item->text();
        accept();
    });
}

void Form_Filelist::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    busyBefore_ = ui::hourglassShown();
    ui::setDefaultPointer();
}

void Form_Filelist::done(int result) {
    // An update goes on with the hourglass once the choice is made; a choice made when the
    // window was activated leaves the usual pointer.
    if (busyBefore_) ui::setHourglass();
    QDialog::done(result);
}

}  // namespace meridan
