#pragma once

#include <QString>

namespace meridan::ui {

// What the child windows use of the main window.
class Shell {
  public:
    virtual ~Shell() = default;
    // The "&Program Menu" item: disabled while the overview window exists.
    virtual void setProgramMenuEnabled(bool enabled) = 0;
    // Status bar panels 1 to 3.
    virtual void setStatusPanel(int panel, const QString& text) = 0;
    // Says something in the status bar for a while, over what panel 2 shows: a refusal, or a
    // message held back while an exchange with the unit runs. Opens no dialog.
    virtual void showNotice(const QString& text) = 0;
    virtual QString applicationTitle() const = 0;
    // Ends the whole program, as closing the main window does.
    virtual void endProgram() = 0;
};

}  // namespace meridan::ui
