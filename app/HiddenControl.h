#pragma once

class QWidget;

// Keeps a control that the window hides out of reach of assistive technology while it is hidden:
// it reads as invisible and unavailable, takes no focus and has no action, so that nothing can
// press, type into or focus it through the accessibility tree. The program itself can still click
// it.
void keepHiddenFromAssistiveTechnology(QWidget &control);
