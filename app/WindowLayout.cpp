#include "app/WindowLayout.h"

#include <array>

namespace WindowLayout {

namespace {

constexpr std::array<Control, 16> Controls{{
    // name          kind             container  geometry (x, y, w, h)   caption  tooltip  en  vis
    // tab
    {"Frame9", Kind::Frame, nullptr, {24, 8, 185, 45}, "Com settings", nullptr, true, true, 0},
    {"txtRefresh", Kind::LineEdit, "Frame9", {16, 40, 25, 19}, "333", nullptr, true, false, 1},
    {"txtSpeed",
     Kind::LineEdit,
     "Frame9",
     {16, 16, 49, 19},
     "57600",
     "Port speed: 38400, 57600,76800",
     true,
     true,
     2},
    {"txtComPort",
     Kind::LineEdit,
     "Frame9",
     {80, 16, 21, 19},
     "",
     "Com Port number",
     true,
     true,
     3},
    {"btnCon", Kind::Button, "Frame9", {104, 16, 71, 19}, "Connect", nullptr, true, true, 4},
    {"txtbuffer", Kind::LogBox, nullptr, {16, 80, 577, 409}, "", nullptr, true, true, 5},
    {"lblFilename", Kind::Label, nullptr, {24, 56, 497, 19}, "file", nullptr, true, true, 6},
    {"btnopenFile", Kind::Button, nullptr, {536, 56, 57, 19}, "browse", nullptr, true, true, 7},
    {"btnFlash",
     Kind::Button,
     nullptr,
     {216, 16, 217, 33},
     "START PROGRAMMING",
     nullptr,
     false,
     true,
     8},
    {"Command1", Kind::Button, nullptr, {568, 24, 25, 21}, "f", nullptr, true, false, 9},
    {"Command2", Kind::Button, nullptr, {536, 24, 25, 25}, "g", nullptr, true, false, 10},
    {"Command3", Kind::Button, nullptr, {488, 16, 41, 33}, "sFile", nullptr, true, false, 11},
    {"Command4",
     Kind::Button,
     nullptr,
     {464, 496, 89, 25},
     "Clear screen",
     nullptr,
     true,
     true,
     12},
    {"Combospeed", Kind::ComboBox, nullptr, {88, 496, 121, 21}, "Combo1", nullptr, true, true, 13},
    {"Label1", Kind::Label, nullptr, {40, 496, 49, 17}, "Speed:", nullptr, true, true, 14},
    {"Command5", Kind::Button, nullptr, {448, 16, 129, 33}, "Help", nullptr, true, true, 15},
}};

} // namespace

std::span<const Control> controls() {
    return Controls;
}

} // namespace WindowLayout
