// Entry point: the application object, the main window, the message loop.
#include "AppIcon.h"
#include "Application.h"
#include "MainFrm.h"
#include "SanitizerHooks.h"
#include "TerminationSignals.h"
#include "WindowManagerClose.h"

int main(int argc, char** argv) {
    TApplication application(argc, argv);
    try {
        ApplyDesignFont(application);
        application.setWindowIcon(AppIcon());
        TMainForm form;
        form.show();
        CloseOnTerminationSignals(&form);
        CloseOnWindowManagerRequest(&form);
        application.exec();
    } catch (...) {
        ShowCurrentException();
    }
    return 0;
}
