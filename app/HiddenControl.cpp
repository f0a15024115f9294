#include "app/HiddenControl.h"

#include <QAbstractButton>
#include <QAccessibleWidget>
#include <QLineEdit>
#include <QVariant>

namespace {

constexpr const char *HiddenProperty = "pelloraHiddenFromAssistiveTechnology";

QAccessible::Role roleOf(const QWidget &control) {
    if (qobject_cast<const QAbstractButton *>(&control))
        return QAccessible::Button;
    if (qobject_cast<const QLineEdit *>(&control))
        return QAccessible::EditableText;
    return QAccessible::Client;
}

class HiddenControlInterface final : public QAccessibleWidget {
public:
    explicit HiddenControlInterface(QWidget *control)
        : QAccessibleWidget(control, roleOf(*control)) {}

    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        if (widget()->isHidden()) {
            state.invisible = true;
            state.disabled = true;
            state.focusable = false;
            state.focused = false;
        }
        return state;
    }
    QStringList actionNames() const override {
        return widget()->isHidden() ? QStringList() : QAccessibleWidget::actionNames();
    }
    void doAction(const QString &action) override {
        if (!widget()->isHidden())
            QAccessibleWidget::doAction(action);
    }
};

QAccessibleInterface *hiddenControlFactory(const QString &, QObject *object) {
    auto *control = qobject_cast<QWidget *>(object);
    if (control && control->property(HiddenProperty).toBool())
        return new HiddenControlInterface(control);
    return nullptr;
}

} // namespace

void keepHiddenFromAssistiveTechnology(QWidget &control) {
    static const bool installed = [] {
        QAccessible::installFactory(hiddenControlFactory);
        return true;
    }();
    (void)installed;
    control.setProperty(HiddenProperty, true);
    // Qt keeps one interface per control, made at its first use: one made while the control was
    // built (a caption set while a screen reader listens) would be the ordinary, pressable one.
    if (QAccessibleInterface *made = QAccessible::queryAccessibleInterface(&control);
        made && !dynamic_cast<HiddenControlInterface *>(made))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
}
