// A close request from the window manager (the title bar's close button) is
// held back by Qt while a modal box blocks the window. The user asked to
// quit all the same, so the request is taken to the window itself.
#pragma once

class QWidget;

// From now on a window manager's close request for `window` closes it as
// close() does, also while a modal box is open over it.
void CloseOnWindowManagerRequest(QWidget* window);
