#include "clsresize.h"

#include <array>
#include <cfloat>
#include <cmath>
#include <limits>

namespace meridan::ui {

namespace {

// A control's key: its name followed by its array index without separator ("Label" + 3 is
// "Label3"), or the bare name outside an array.
QString keyOf(const ResizeControl& control) {
    QString key = control.name();
    if (const std::optional<int> index = control.index()) key += QString::number(*index);
    return key;
}

// Conversion to a 32-bit integer: nearest integer, halves to the even one; fails outside the
// 32-bit range.
std::optional<std::int32_t> toInt32(double value) {
    if (!std::isfinite(value)) return std::nullopt;
    double rounded = std::floor(value);
    const double fraction = value - rounded;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(rounded, 2.0) != 0.0)) rounded += 1.0;
    if (rounded < std::numeric_limits<std::int32_t>::min() ||
        rounded > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(rounded);
}

// Conversion to a 32-bit float: fails for a value beyond its range.
std::optional<float> toSingle(double value) {
    if (std::isnan(value) || std::fabs(value) > static_cast<double>(FLT_MAX)) return std::nullopt;
    return static_cast<float>(value);
}

// The window's size over the reference size, as a 32-bit float; fails when the size cannot be
// read or the quotient is not a number.
std::optional<float> factor(const ResizeForm* form, PropError (ResizeForm::*read)(double&) const,
                            std::int32_t reference) {
    double size = 0;
    if (!form || (form->*read)(size) != PropError::None || reference == 0) return std::nullopt;
    return toSingle(size / reference);
}

// Reads four properties as integers; fails as a whole when one of them fails.
std::optional<std::array<std::int32_t, 4>> readInt32s(const ResizeControl& control,
                                                      const std::array<ControlProperty, 4>& props) {
    std::array<std::int32_t, 4> result{};
    for (std::size_t i = 0; i < props.size(); ++i) {
        double value = 0;
        if (control.get(props[i], value) != PropError::None) return std::nullopt;
        const std::optional<std::int32_t> rounded = toInt32(value);
        if (!rounded) return std::nullopt;
        result[i] = *rounded;
    }
    return result;
}

// "Fontsize" of the control, else the size of its font when it has no "Fontsize"; 0 when
// neither can be read.
float recordedFontsize(const ResizeControl& control) {
    double value = 0;
    PropError error = control.get(ControlProperty::Fontsize, value);
    if (error == PropError::NoSuchProperty) error = control.get(ControlProperty::Font_Size, value);
    if (error != PropError::None) return 0;
    return toSingle(value).value_or(0.0f);
}

void applyFontsize(ResizeControl& control, double size) {
    if (control.set(ControlProperty::Fontsize, size) == PropError::NoSuchProperty)
        control.set(ControlProperty::Font_Size, size);
}

// A loosely typed value as a boolean: numbers are true unless 0, texts "True" and
// "False" (any case) or a number; anything else, an empty variant included, does not convert.
std::optional<bool> toBoolean(const QVariant& value) {
    if (!value.isValid()) return std::nullopt;
    switch (value.metaType().id()) {
        case QMetaType::Bool:
            return value.toBool();
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::Long:
        case QMetaType::ULong:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Char:
        case QMetaType::SChar:
        case QMetaType::UChar:
        case QMetaType::Float:
        case QMetaType::Double:
            return value.toDouble() != 0.0;
        case QMetaType::QString:
        case QMetaType::QByteArray: {
            const QString text = value.toString().trimmed();
            if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) return true;
            if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0) return false;
            bool ok = false;
            const double number = text.toDouble(&ok);
            if (ok) return number != 0.0;
            return std::nullopt;
        }
        default:
            return std::nullopt;
    }
}

}  // namespace

// --- col_Controls ---

clsControl* col_Controls::insert(const QString& key) {
    if (byKey_.contains(key)) return nullptr;
    auto record = std::make_unique<clsControl>();
    record->setTag(Count() + 1);
    record->setName(key);
    clsControl* added = record.get();
    records_.push_back(std::move(record));
    byKey_.insert(key, added);
    return added;
}

clsControl* col_Controls::Add(std::int32_t lTop, std::int32_t lLeft, std::int32_t lWidth,
                              std::int32_t lHeight, const QString& sName, float iFontSize) {
    clsControl* record = insert(sName);
    if (!record) return nullptr;
    record->setTop(lTop);
    record->setLeft(lLeft);
    record->setHeight(lHeight);
    record->setWidth(lWidth);
    record->setFontsize(iFontSize);
    return record;
}

clsControl* col_Controls::AddLine(std::int32_t lX1, std::int32_t lX2, std::int32_t lY1,
                                  std::int32_t lY2, const QString& sName) {
    clsControl* record = insert(sName);
    if (!record) return nullptr;
    record->setX1(lX1);
    record->setX2(lX2);
    record->setY1(lY1);
    record->setY2(lY2);
    record->setResizeOption(0);
    return record;
}

clsControl* col_Controls::item(const QString& ItemName) {
    return byKey_.value(ItemName, nullptr);
}

const clsControl* col_Controls::item(const QString& ItemName) const {
    return byKey_.value(ItemName, nullptr);
}

// --- clsResize ---

clsResize::clsResize()
    : mcolControls_(std::make_unique<col_Controls>()), mclsForm_(std::make_unique<clsForm>()) {}

clsResize::~clsResize() = default;

void clsResize::oForm(std::shared_ptr<ResizeForm> form) {
    oForm_ = std::move(form);
}

void clsResize::Initialize() {
    mclsForm_->setHeight(ReferenceHeight);
    mclsForm_->setWidth(ReferenceWidth);
    mclsForm_->setTop(ReferenceTop);
    mclsForm_->setLeft(ReferenceLeft);
    if (!oForm_) return;

    for (const std::shared_ptr<ResizeControl>& control : oForm_->controls()) {
        if (!control) continue;
        const QString key = keyOf(*control);
        const float fontsize = recordedFontsize(*control);
        // A control without a position (a menu item, a timer) gets no record. A key that is
        // already recorded keeps its record: the first Initialize fixes the layout for good.
        if (control->kind() == ControlKind::Line) {
            using enum ControlProperty;
            if (const auto p = readInt32s(*control, {X1, X2, Y1, Y2}))
                mcolControls_->AddLine((*p)[0], (*p)[1], (*p)[2], (*p)[3], key);
        } else {
            using enum ControlProperty;
            if (const auto p = readInt32s(*control, {Top, Left, Width, Height}))
                mcolControls_->Add((*p)[0], (*p)[1], (*p)[2], (*p)[3], key, fontsize);
        }
    }
}

void clsResize::DoResize() {
    // A factor that cannot be computed stays 0, which lays everything out at no size; a window
    // always has a size once it is set.
    const float sX = factor(oForm_.get(), &ResizeForm::width, mclsForm_->Width()).value_or(0.0f);
    const float sY = factor(oForm_.get(), &ResizeForm::height, mclsForm_->Height()).value_or(0.0f);
    const float sF = sX <= sY ? sX : sY;

    // Within the tolerance the recorded layout is used as it is.
    const double p = static_cast<double>(scaleMinMax_) / 100.0;
    const float lower = toSingle(1.0 - p).value_or(-FLT_MAX);
    const float upper = toSingle(1.0 + p).value_or(FLT_MAX);
    if (!(sX < lower || sX > upper || sY < lower || sY > upper)) {
        DoResize_First(false);
        return;
    }
    if (!oForm_) return;

    for (const std::shared_ptr<ResizeControl>& control : oForm_->controls()) {
        if (!control) continue;
        const clsControl* record = mcolControls_->item(keyOf(*control));
        if (!record) continue;  // added after Initialize, or without a position
        if (record->FontSizing())
            applyFontsize(*control, static_cast<double>(record->Fontsize()) * sF);
        layOut(*control, *record, sX, sY, true);
    }
}

void clsResize::DoResize_First(bool bFormSize) {
    if (!oForm_) return;
    for (const std::shared_ptr<ResizeControl>& control : oForm_->controls()) {
        if (!control) continue;
        const clsControl* record = mcolControls_->item(keyOf(*control));
        if (!record) continue;
        applyFontsize(*control, static_cast<double>(record->Fontsize()));
        layOut(*control, *record, 1.0f, 1.0f, false);
    }
    if (bFormSize) {
        oForm_->setHeight(mclsForm_->Height());
        oForm_->setWidth(mclsForm_->Width());
    }
}

// Products are the 32-bit float factor times the recorded integer, handed over in double
// precision without rounding; the control rounds them to its own units.
void clsResize::layOut(ResizeControl& control, const clsControl& record, float sX, float sY,
                       bool useOption) {
    const double x = sX;
    const double y = sY;
    const ControlKind kind = control.kind();
    if (kind == ControlKind::Line) {
        control.set(ControlProperty::X1, x * record.X1());
        control.set(ControlProperty::X2, x * record.X2());
        control.set(ControlProperty::Y1, y * record.Y1());
        control.set(ControlProperty::Y2, y * record.Y2());
        return;
    }

    const std::int16_t option = useOption ? record.ResizeOption() : 0;
    const bool fixedWidth = option == 1 || option == 3;
    const bool fixedHeight = option == 2 || option == 3;
    const double left = x * record.Left();
    const double top = y * record.Top();
    const double width = fixedWidth ? record.Width() : x * record.Width();
    const double height = fixedHeight ? record.Height() : y * record.Height();

    if (kind == ControlKind::ComboBox || kind == ControlKind::DriveListBox) {
        // One edge at a time: these boxes fix their own height and refuse a new one, which must
        // not keep the other edges from following the window.
        control.set(ControlProperty::Top, top);
        control.set(ControlProperty::Left, left);
        control.set(ControlProperty::Width, width);
        control.set(ControlProperty::Height, height);
    } else {
        control.move(left, top, width, height);
    }
}

void clsResize::ResizeOption(const ResizeControl& xControl, std::int32_t iResizeOption,
                             const QVariant& bFontSizing) {
    clsControl* record = mcolControls_->item(keyOf(xControl));
    if (!record) return;
    if (iResizeOption >= std::numeric_limits<std::int16_t>::min() &&
        iResizeOption <= std::numeric_limits<std::int16_t>::max())
        record->setResizeOption(static_cast<std::int16_t>(iResizeOption));
    if (const std::optional<bool> fontSizing = toBoolean(bFontSizing))
        record->setFontSizing(*fontSizing);
}

}  // namespace meridan::ui
