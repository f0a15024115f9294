#pragma once

#include <QRect>
#include <span>

// The window's inventory in one place: every control with its kind, container, place, caption,
// tooltip, the name assistive technology gives it, first enabled and visible state and tab order.
// Geometry is in pixels of the container's client area.
namespace WindowLayout {

inline constexpr int ClientWidth = 602;
inline constexpr int ClientHeight = 527;
inline constexpr const char *Title = "Tarnix Pellora";

enum class Kind { Frame, LineEdit, LogBox, Label, Button, ComboBox };

struct Control {
    const char *name;
    Kind kind;
    const char *container; // nullptr: the window
    QRect geometry;
    const char *caption;
    const char *toolTip; // nullptr: none
    // What a screen reader calls the control, distinct from every other; nullptr: its caption, or
    // the label it is the buddy of, says it (a button whose caption changes is named by it).
    const char *accessibleName;
    bool enabled;
    bool visible;
    int tabIndex;
};

std::span<const Control> controls();

} // namespace WindowLayout
