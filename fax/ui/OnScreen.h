#pragma once
// Keeps a status window wholly inside the available area of its screen when it is shown, at
// its own size: a place kept from an earlier show, or one chosen by a window manager, that
// the screen does not wholly hold is moved inside (top left first when the window is larger
// than the area).
class QWidget;

void KeepOnScreen(QWidget* window);
