#pragma once

#include <QHash>
#include <QString>
#include <QVariant>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace meridan::ui {

// What the resize engine needs of a window and its controls. Every access reports failure
// instead of throwing: the engine skips a step that fails and carries on with the next one.

enum class ControlKind { Line, ComboBox, DriveListBox, Other };

enum class PropError {
    None,
    // The control has no such property or method (error 438 of the old window system). Only this
    // error makes the font steps fall back from "Fontsize" to the size of the control's font.
    NoSuchProperty,
    // The property exists but cannot be read now, or the control rejects the value.
    Refused,
};

// The numeric properties of a control. Geometry is in twips, relative to the control's
// container; X1..Y2 are the end points of a line; the two font sizes are in points.
enum class ControlProperty {
    Fontsize,   // "Fontsize"
    Font_Size,  // "Size" of the control's "Font"
    Top,
    Left,
    Width,
    Height,
    X1,
    X2,
    Y1,
    Y2,
};

class ResizeControl {
  public:
    virtual ~ResizeControl() = default;
    virtual QString name() const = 0;
    // Position within a control array; none for a control outside an array.
    virtual std::optional<int> index() const = 0;
    virtual ControlKind kind() const = 0;
    virtual PropError get(ControlProperty property, double& value) const = 0;
    virtual PropError set(ControlProperty property, double value) = 0;
    // "Move": all four edges at once.
    virtual PropError move(double left, double top, double width, double height) = 0;
};

class ResizeForm {
  public:
    virtual ~ResizeForm() = default;
    // Outer size of the window (border and title bar included), in twips.
    virtual PropError width(double& value) const = 0;
    virtual PropError height(double& value) const = 0;
    virtual PropError setWidth(double value) = 0;
    virtual PropError setHeight(double value) = 0;
    // Every control of the window, in the window's own order.
    virtual std::vector<std::shared_ptr<ResizeControl>> controls() = 0;
};

// The recorded state of one control. Top/Left/Width/Height are used for every control but
// lines, X1..Y2 for lines only.
class clsControl {
  public:
    std::int32_t Tag() const { return tag_; }
    void setTag(std::int32_t v) { tag_ = v; }
    std::int32_t Top() const { return top_; }
    void setTop(std::int32_t v) { top_ = v; }
    std::int32_t Left() const { return left_; }
    void setLeft(std::int32_t v) { left_ = v; }
    std::int32_t Width() const { return width_; }
    void setWidth(std::int32_t v) { width_ = v; }
    std::int32_t Height() const { return height_; }
    void setHeight(std::int32_t v) { height_ = v; }
    std::int32_t X1() const { return x1_; }
    void setX1(std::int32_t v) { x1_ = v; }
    std::int32_t X2() const { return x2_; }
    void setX2(std::int32_t v) { x2_ = v; }
    std::int32_t Y1() const { return y1_; }
    void setY1(std::int32_t v) { y1_ = v; }
    std::int32_t Y2() const { return y2_; }
    void setY2(std::int32_t v) { y2_ = v; }
    // 0 all edges follow the window, 1 fixed width, 2 fixed height, 3 fixed size.
    std::int16_t ResizeOption() const { return resizeOption_; }
    void setResizeOption(std::int16_t v) { resizeOption_ = v; }
    const QString& Name() const { return name_; }
    void setName(const QString& v) { name_ = v; }
    // Points; 0 for a control without a font and for lines.
    float Fontsize() const { return fontsize_; }
    void setFontsize(float v) { fontsize_ = v; }
    bool FontSizing() const { return fontSizing_; }
    void setFontSizing(bool v) { fontSizing_ = v; }

  private:
    std::int32_t tag_ = 0;
    std::int32_t top_ = 0;
    std::int32_t left_ = 0;
    std::int32_t width_ = 0;
    std::int32_t height_ = 0;
    std::int32_t x1_ = 0;
    std::int32_t x2_ = 0;
    std::int32_t y1_ = 0;
    std::int32_t y2_ = 0;
    std::int16_t resizeOption_ = 0;
    QString name_;
    float fontsize_ = 0;
    bool fontSizing_ = true;
};

// The reference geometry of the window, in twips.
class clsForm {
  public:
    std::int32_t Top() const { return top_; }
    void setTop(std::int32_t v) { top_ = v; }
    std::int32_t Left() const { return left_; }
    void setLeft(std::int32_t v) { left_ = v; }
    std::int32_t Width() const { return width_; }
    void setWidth(std::int32_t v) { width_ = v; }
    std::int32_t Height() const { return height_; }
    void setHeight(std::int32_t v) { height_ = v; }

  private:
    std::int32_t top_ = 0;
    std::int32_t left_ = 0;
    std::int32_t width_ = 0;
    std::int32_t height_ = 0;
};

// Records in the order they were added, each under a unique key.
class col_Controls {
  public:
    col_Controls() = default;
    col_Controls(const col_Controls&) = delete;
    col_Controls& operator=(const col_Controls&) = delete;

    // The new record, or nullptr when sName is already a key; the collection is then unchanged.
    clsControl* Add(std::int32_t lTop, std::int32_t lLeft, std::int32_t lWidth,
                    std::int32_t lHeight, const QString& sName, float iFontSize);
    clsControl* AddLine(std::int32_t lX1, std::int32_t lX2, std::int32_t lY1, std::int32_t lY2,
                        const QString& sName);
    // nullptr when no record has that key.
    clsControl* item(const QString& ItemName);
    const clsControl* item(const QString& ItemName) const;
    std::int32_t Count() const { return static_cast<std::int32_t>(records_.size()); }

  private:
    clsControl* insert(const QString& key);

    std::vector<std::unique_ptr<clsControl>> records_;
    QHash<QString, clsControl*> byKey_;
};

// Keeps the controls of a window in proportion to its size. Initialize records every control
// once; each later layout is computed from those records, never from the controls' current
// geometry, so repeated resizing does not drift. No operation reports a failure: a step that
// fails (a property a control lacks, a value it refuses, a control without a record) is skipped.
class clsResize {
  public:
    // Every window that uses the engine is laid out for this outer size, in twips.
    static constexpr std::int32_t ReferenceWidth = 15450;
    static constexpr std::int32_t ReferenceHeight = 11205;
    static constexpr std::int32_t ReferenceTop = 345;
    static constexpr std::int32_t ReferenceLeft = 60;

    clsResize();
    ~clsResize();
    clsResize(const clsResize&) = delete;
    clsResize& operator=(const clsResize&) = delete;

    void oForm(std::shared_ptr<ResizeForm> form);
    const std::shared_ptr<ResizeForm>& oForm() const { return oForm_; }

    // Sets the reference geometry and records every control that has no record yet.
    void Initialize();
    // Lays the controls out for the window's current size.
    void DoResize();
    // Puts every control back to its recorded layout and font; with bFormSize also the window
    // back to the reference size.
    void DoResize_First(bool bFormSize);
    // An omitted bFontSizing (an invalid QVariant), or one that does not convert to a boolean,
    // leaves the record's FontSizing as it is; an option outside 16 bits leaves the option.
    void ResizeOption(const ResizeControl& xControl, std::int32_t iResizeOption = 0,
                      const QVariant& bFontSizing = QVariant());

    // Percent by which the window may differ from the reference size and still get the
    // recorded layout unscaled. Stored as given.
    float ScaleMinMax() const { return scaleMinMax_; }
    void setScaleMinMax(float vNewValue) { scaleMinMax_ = vNewValue; }

    const col_Controls& records() const { return *mcolControls_; }
    const clsForm& reference() const { return *mclsForm_; }

  private:
    void layOut(ResizeControl& control, const clsControl& record, float sX, float sY,
                bool useOption);

    std::unique_ptr<col_Controls> mcolControls_;
    std::unique_ptr<clsForm> mclsForm_;
    std::shared_ptr<ResizeForm> oForm_;
    float scaleMinMax_ = 0;
};

}  // namespace meridan::ui
