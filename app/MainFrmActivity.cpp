// How handlers run: one at a time; input that comes while one waits for the
// adapter is dropped, not kept for later; the window shows the wait cursor
// meanwhile; and closing the window ends the running handler early.
#include <QAbstractEventDispatcher>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>

#include <atomic>
#include <exception>
#include <thread>

#include "Application.h"
#include "MainFrm.h"
#include "MessageBoxes.h"

using namespace tavrol;
using namespace tavrol::app;

class TMainForm::ActivityScope {
public:
    ActivityScope(TMainForm& form, Activity activity) : form_(form), previous_(form.activity_) {
        form_.activity_ = activity;
    }
    ~ActivityScope() { form_.activity_ = previous_; }
    ActivityScope(const ActivityScope&) = delete;
    ActivityScope& operator=(const ActivityScope&) = delete;

private:
    TMainForm& form_;
    Activity previous_;
};

namespace {

bool IsUserInput(QEvent::Type type) {
    switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
            return true;
        default:
            return false;
    }
}

}  // namespace

void TMainForm::Dispatch(const std::function<void()>& handler) {
    switch (activity_) {
        case Activity::Waiting:
            // Input while a handler waits: the user acted on a window that
            // could not answer, so the action is dropped.
            return;
        case Activity::Running:
            // Raised by the running handler itself (a check box it sets).
            RunHandler(handler);
            return;
        case Activity::Idle:
            break;
    }
    {
        ActivityScope running(*this, Activity::Running);
        RunHandler(handler);
    }
    AfterHandler();
}

void TMainForm::RunHandler(const std::function<void()>& handler) {
    try {
        handler();
    } catch (...) {
        if (quitting_) return;
        ShowWaitCursor(false);
        ActivityScope box(*this, Activity::Waiting);
        ShowCurrentException();
    }
}

// What waited for the handler to end: the window closing, a port that hung
// up, a port list that changed.
void TMainForm::AfterHandler() {
    ShowWaitCursor(false);
    if (quitting_) {
        close();
        return;
    }
    FollowLostPort();
    FollowPortList();
}

void TMainForm::ShowWaitCursor(bool on) {
    if (on == waitCursor_ || QGuiApplication::instance() == nullptr) return;
    if (on) QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    else QGuiApplication::restoreOverrideCursor();
    waitCursor_ = on;
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (activity_ == Activity::Waiting && IsUserInput(event->type()) && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == this) {
        return true;
    }
    if (event->type() == QEvent::Hide && watched == portPopup_ && listOutdated_) {
        // The drop-down has closed: the list may follow the system now.
        QMetaObject::invokeMethod(this, [this] { FollowPortList(); }, Qt::QueuedConnection);
    }
    return QWidget::eventFilter(watched, event);
}

void TMainForm::closeEvent(QCloseEvent* event) {
    MessageBoxes().CloseOpenBoxes();
    if (Busy()) {
        // The running handler skips its remaining transactions and boxes;
        // the window closes once it has ended.
        quitting_ = true;
        event->ignore();
        return;
    }
    Channel.Close();
    event->accept();
}

void TMainForm::RunBlocking(const std::function<void()>& work) {
    const bool inHandler = activity_ == Activity::Running;
    ActivityScope waiting(*this, Activity::Waiting);
    ShowWaitCursor(true);
    std::atomic<bool> done{false};
    std::exception_ptr error;
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
        done.store(true, std::memory_order_release);
        if (dispatcher != nullptr) dispatcher->wakeUp();
    });
    // The window keeps painting; the event filter drops its input.
    while (!done.load(std::memory_order_acquire)) {
        if (dispatcher != nullptr)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    worker.join();
    if (!inHandler) ShowWaitCursor(false);
    if (error) std::rethrow_exception(error);
}

int TMainForm::OpenChannel(int port, int baud) {
    int result = 0;
    RunBlocking([&] { result = Channel.Open(port, baud); });
    return result;
}

void TMainForm::CloseChannel() {
    RunBlocking([&] { Channel.Close(); });
}

int TMainForm::ReadRegister(std::uint32_t id, void* buffer, std::uint32_t* length) {
    if (quitting_) return CFG_FAIL;
    int result = CFG_FAIL;
    const std::uint32_t timeout = TransactionTimeout();
    RunBlocking([&] { result = Channel.ReadRegister(id, buffer, length, timeout); });
    return result;
}

int TMainForm::WriteRegister(std::uint32_t id, const void* value, std::uint32_t length) {
    if (quitting_) return CFG_FAIL;
    int result = CFG_FAIL;
    const std::uint32_t timeout = TransactionTimeout();
    RunBlocking([&] { result = Channel.WriteRegister(id, value, &length, timeout); });
    return result;
}

int TMainForm::Message(const QString& text, unsigned flags, const QString& caption, const QString& details) {
    if (quitting_) return (flags & MB_BUTTON_MASK) == MB_YESNO ? IDNO : IDOK;
    ShowWaitCursor(false);
    ActivityScope box(*this, Activity::Waiting);
    return MessageBoxes().Show(this, text, caption, flags, details);
}
