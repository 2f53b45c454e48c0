// tavrol-bench-window: the program's start-up, exactly as its entry point
// does it, on the offscreen platform, with a watch for the first paint.
//
//   --first-paint               prints "painted <CLOCK_MONOTONIC ns>" once the
//                               first paint of the window is done, then ends
//   --connect <com> <port dir>  then connects to COM<com> at 115200 as a user
//                               would (port and rate picked, the connect
//                               button pressed), waits until the settings
//                               are loaded and prints "connected <ms>"
//
// At the end it prints "peak <kB>": the process's peak resident memory
// (VmHWM). The parent cannot take it from wait4: a child started by vfork
// inherits the parent's high-water mark at exec.
#include <time.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <fstream>
#include <string>

#include "AppIcon.h"
#include "Application.h"
#include "MainFrm.h"
#include "MessageBoxes.h"
#include "port_catalog.h"

namespace {

long PeakResidentKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

std::uint64_t MonotonicNanos() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(t.tv_nsec);
}

// A box would wait for a user who is not there: record it and answer OK.
class CountingBoxes : public tavrol::app::MessageBoxService {
public:
    int Show(QWidget*, const QString& text, const QString&, unsigned flags) override {
        ++shown;
        last = text.toStdString();
        return (flags & tavrol::app::MB_BUTTON_MASK) == tavrol::app::MB_YESNO ? tavrol::app::IDNO
                                                                               : tavrol::app::IDOK;
    }
    int shown = 0;
    std::string last;
};

// Sees the first paint event of any widget of the window. The whole window is
// painted in one pass, so a zero timer started then fires once that pass,
// including the flush to the backing store, is done.
class FirstPaint : public QObject {
public:
    FirstPaint(QWidget* window, std::function<void()> done) : window_(window), done_(std::move(done)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!seen_ && event->type() == QEvent::Paint && watched->isWidgetType() &&
            static_cast<QWidget*>(watched)->window() == window_) {
            seen_ = true;
            QTimer::singleShot(0, this, done_);
        }
        return false;
    }

private:
    QWidget* window_;
    std::function<void()> done_;
    bool seen_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    const bool firstPaint = argc == 2 && std::strcmp(argv[1], "--first-paint") == 0;
    const bool connect = argc == 4 && std::strcmp(argv[1], "--connect") == 0;
    if (!firstPaint && !connect) {
        std::fprintf(stderr, "usage: tavrol-bench-window --first-paint | --connect <com> <port directory>\n");
        return 2;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int com = 0;
    tavrol::PortSources sources = tavrol::DefaultPortSources();
    if (connect) {
        com = std::atoi(argv[2]);
        sources.portDirectory = argv[3];
    }
    CountingBoxes boxes;
    tavrol::app::SetMessageBoxService(&boxes);

    int status = 0;
    {
        // As the program's entry point does it.
        TApplication application(argc, argv);
        ApplyDesignFont(application);
        application.setWindowIcon(AppIcon());
        TMainForm form(nullptr, sources);

        auto finish = [&](int code) {
            status = code;
            form.close();
            QCoreApplication::quit();
        };
        auto connectNow = [&] {
            const int port = form.ComboBoxComPorts->findText(QStringLiteral("COM%1").arg(com));
            const int rate = form.InputUSARTBaud->findText(QStringLiteral("115200"));
            if (port < 0 || rate < 0) {
                std::fprintf(stderr, "COM%d or 115200 is not listed\n", com);
                finish(1);
                return;
            }
            form.ComboBoxComPorts->setCurrentIndex(port);
            form.InputUSARTBaud->setCurrentIndex(rate);
            const std::uint64_t start = MonotonicNanos();
            form.ButtonConnect->click();
            // The handler may still run in a nested loop; watch for its end.
            auto* poll = new QTimer(&form);
            QObject::connect(poll, &QTimer::timeout, &form, [&, poll, start] {
                const bool connected = form.ButtonConnect->text() == QString::fromUtf8("关闭串口");
                const double ms = static_cast<double>(MonotonicNanos() - start) / 1e6;
                if (boxes.shown > 0) {
                    std::fprintf(stderr, "message box: %s\n", boxes.last.c_str());
                    poll->stop();
                    finish(1);
                } else if (connected && !form.Busy()) {
                    poll->stop();
                    std::printf("connected %.1f\n", ms);
                    std::fflush(stdout);
                    // A moment connected and idle, with the pages painted.
                    QTimer::singleShot(300, &form, [&] { finish(0); });
                } else if (ms > 30000) {
                    std::fprintf(stderr, "not connected after 30 s\n");
                    poll->stop();
                    finish(1);
                }
            });
            poll->start(5);
        };

        FirstPaint watch(&form, [&] {
            std::printf("painted %llu\n", static_cast<unsigned long long>(MonotonicNanos()));
            std::fflush(stdout);
            if (connect) {
                connectNow();
            } else {
                finish(0);
            }
        });
        application.installEventFilter(&watch);
        form.show();
        application.exec();
        application.removeEventFilter(&watch);
    }
    tavrol::app::SetMessageBoxService(nullptr);
    std::printf("peak %ld\n", PeakResidentKiB());
    return status;
}
