#pragma once

#include <QLineEdit>

namespace meridan {

// A frequency text box. It takes characters as the unit's frequency boxes always have: a
// digit while the text is shorter than its maximum length (or replaces a text that is
// selected as a whole), backspace; every other character is discarded. Navigation and
// editing keys that type no character (arrows, Home, End, Delete) work as usual. Pasted text
// is taken as if typed, character by character. Every character key, taken or discarded,
// is reported by characterKey(): it counts as an edit. The focus selects the whole value,
// also when a mouse click brings it (a second click places the caret), so typing replaces it.
class FrequencyBox : public QLineEdit {
    Q_OBJECT
  public:
    FrequencyBox(int maxDigits, QWidget* parent = nullptr);

    int maxDigits() const { return maxDigits_; }
    // Types text into the box as the key filter would take it.
    void typeText(const QString& text);
    // A value the program shows: its start is in view; one wider than the box is the tool tip.
    void showValue(const QString& text);
    // A line the tool tip always shows ("unit: 1200 MHz"); empty for none.
    void setNote(const QString& note);

  Q_SIGNALS:
    void characterKey();

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    bool takesDigit() const;
    void pasteClipboard();
    void updateToolTip();

    int maxDigits_;
    QString note_;
    // The press under way is the click that gave the box the focus.
    bool focusClick_ = false;
};

}  // namespace meridan
