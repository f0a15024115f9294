#include "app/WindowBuilder.h"

#include "app/HiddenControl.h"
#include "app/LogView.h"
#include "app/WindowLayout.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <map>
#include <utility>
#include <vector>

namespace {

QWidget *makeControl(const WindowLayout::Control &spec, QWidget *container) {
    const QString caption = QString::fromLatin1(spec.caption);
    switch (spec.kind) {
    case WindowLayout::Kind::Frame:
        return new QGroupBox(caption, container);
    case WindowLayout::Kind::LineEdit:
        return new QLineEdit(caption, container);
    case WindowLayout::Kind::LogBox:
        return new LogView(container);
    case WindowLayout::Kind::Label:
        return new QLabel(caption, container);
    case WindowLayout::Kind::Button: {
        auto *button = new QPushButton(caption, container);
        // Return and Enter press a focused button, as Space does.
        button->setAutoDefault(true);
        return button;
    }
    case WindowLayout::Kind::ComboBox: {
        auto *combo = new QComboBox(container);
        combo->setEditable(true);
        // Enter must not add the typed text to the list, and "1" must stay "1" (no pause) rather
        // than be completed to "100 - slowest".
        combo->setInsertPolicy(QComboBox::NoInsert);
        combo->setCompleter(nullptr);
        combo->setEditText(caption);
        return combo;
    }
    }
    return nullptr;
}

} // namespace

WindowControls buildControls(QWidget &window) {
    std::map<QString, QWidget *> byName;
    std::vector<std::pair<int, QWidget *>> tabOrder;
    for (const WindowLayout::Control &spec : WindowLayout::controls()) {
        QWidget *container =
            spec.container ? byName.at(QString::fromLatin1(spec.container)) : &window;
        QWidget *widget = makeControl(spec, container);
        widget->setObjectName(QString::fromLatin1(spec.name));
        widget->setGeometry(spec.geometry);
        if (spec.toolTip)
            widget->setToolTip(QString::fromLatin1(spec.toolTip));
        if (spec.accessibleName)
            widget->setAccessibleName(QString::fromLatin1(spec.accessibleName));
        widget->setEnabled(spec.enabled);
        widget->setVisible(spec.visible);
        if (!spec.visible)
            keepHiddenFromAssistiveTechnology(*widget);
        byName[widget->objectName()] = widget;
        if (widget->focusPolicy() != Qt::NoFocus)
            tabOrder.emplace_back(spec.tabIndex, widget);
    }
    std::sort(tabOrder.begin(), tabOrder.end(), [](auto &a, auto &b) { return a.first < b.first; });
    for (std::size_t i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1].second, tabOrder[i].second);

    const auto find = [&byName]<typename T>(const char *name, T *) {
        return static_cast<T *>(byName.at(QString::fromLatin1(name)));
    };
    WindowControls c;
    c.Frame9 = find("Frame9", c.Frame9);
    c.txtRefresh = find("txtRefresh", c.txtRefresh);
    c.txtSpeed = find("txtSpeed", c.txtSpeed);
    c.txtComPort = find("txtComPort", c.txtComPort);
    c.btnCon = find("btnCon", c.btnCon);
    c.txtbuffer = find("txtbuffer", c.txtbuffer);
    c.lblFilename = find("lblFilename", c.lblFilename);
    c.btnopenFile = find("btnopenFile", c.btnopenFile);
    c.btnFlash = find("btnFlash", c.btnFlash);
    c.Command1 = find("Command1", c.Command1);
    c.Command2 = find("Command2", c.Command2);
    c.Command3 = find("Command3", c.Command3);
    c.Command4 = find("Command4", c.Command4);
    c.Combospeed = find("Combospeed", c.Combospeed);
    c.Label1 = find("Label1", c.Label1);
    c.Command5 = find("Command5", c.Command5);
    c.Label1->setBuddy(c.Combospeed);
    c.txtSpeed->setFocus();
    return c;
}
