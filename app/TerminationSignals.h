// Closing the window when the session asks the program to end.
#pragma once

class QWidget;

// On SIGTERM, SIGINT or SIGHUP the window is closed as if by its close
// button, so the port is released and the program ends normally.
void CloseOnTerminationSignals(QWidget* window);
