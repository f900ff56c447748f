#pragma once

#include <QPointer>
#include <QSize>
#include <QWidget>

#include "clsresize.h"

namespace meridan::ui {

// A child widget of a window, placed with absolute geometry, as the resize engine sees it.
// Name: the objectName; array index: the dynamic property "Index" (absent outside an array).
// Geometry is in twips, relative to the parent widget.
// Font: "Fontsize" and the font's size are both the point size of the widget's font; a size of
// 0 or less is refused.
// Kinds: a QComboBox is a combo box; it refuses a height, because its height is the one its
// size hint asks for at its font, set again after every font change. A QFrame shaped HLine or
// VLine is a line: its end points lie on the centre line of its rectangle, so a horizontal line
// runs from (left, top + height/2) to (left + width, top + height/2) and a vertical one from
// (left + width/2, top) to (left + width/2, top + height). Setting an end point along the line
// moves that end; setting one across it moves the whole line, its thickness unchanged.
// Everything else is "other". Nothing here is a drive list box.
class QtResizeControl final : public ResizeControl {
  public:
    explicit QtResizeControl(QWidget* widget);

    QString name() const override;
    std::optional<int> index() const override;
    ControlKind kind() const override;
    PropError get(ControlProperty property, double& value) const override;
    PropError set(ControlProperty property, double value) override;
    PropError move(double left, double top, double width, double height) override;

    QWidget* widget() const { return widget_; }

  private:
    static PropError setLineEnd(QWidget& w, ControlProperty property, double twips);

    QPointer<QWidget> widget_;
};

// A window whose controls are its named descendant widgets. The outer size the engine works
// with is the widget's (client) size plus a fixed allowance for the border and title bar, so a
// client of 15330 x 10695 twips is the engine's reference size of 15450 x 11205.
//
//     auto engine = std::make_unique<clsResize>();
//     engine->oForm(std::make_shared<QtResizeForm>(this));
//     engine->Initialize();   // on activation
//     engine->DoResize();     // on activation and in resizeEvent()
class QtResizeForm final : public ResizeForm {
  public:
    static constexpr double DefaultFrameWidth = 120;
    static constexpr double DefaultFrameHeight = 510;

    explicit QtResizeForm(QWidget* window, double frameWidthTwips = DefaultFrameWidth,
                          double frameHeightTwips = DefaultFrameHeight);

    PropError width(double& value) const override;
    PropError height(double& value) const override;
    // Resizes the client to the given outer size less the allowance. A window shown in an MDI
    // area is resized through its sub-window, so the frame follows.
    PropError setWidth(double value) override;
    PropError setHeight(double value) override;
    // Descendant widgets, depth first in child order, whose objectName is neither empty nor
    // starts with "qt_" (Qt's own parts). Separate windows (dialogs, pop-ups) and their
    // children are not controls of this window.
    std::vector<std::shared_ptr<ResizeControl>> controls() override;

    QWidget* window() const { return window_; }

  private:
    static void resizeClient(QWidget& window, const QSize& size);

    QPointer<QWidget> window_;
    double frameWidth_;
    double frameHeight_;
};

}  // namespace meridan::ui
