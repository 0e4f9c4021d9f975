#pragma once
// Keeps the windows of the program wholly inside the available area of their screen, at their
// own size: whenever a window is shown, a place kept from an earlier show, set before the show,
// or chosen by a window manager, that the screen does not wholly hold is moved inside (top
// left first when the window is larger than the area). Menus, tooltips and other pop-ups are
// left to Qt, which places them itself.
//
// One filter of the application object does this for every window of the process. The
// application installs it at start; the library's windows that must stay on the screen (the
// fax and telephony status windows) install it too, so that they keep doing so in programs
// without the application. A second call does nothing.
//
// A window that asks for a title bar without a minimise or a maximise button is given back at
// once when a window manager minimises or maximises it all the same.
void KeepWindowsOnScreen();
