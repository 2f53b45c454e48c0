// tavrol-bench-window: the program's start-up, exactly as its entry point
// does it, on the offscreen platform, with what a benchmark needs to watch.
//
//   --first-paint               prints "painted <CLOCK_MONOTONIC ns>" once the
//                               first paint of the window is done, then ends
//   --connect <com> <port dir>  then connects to COM<com> at 115200 as a user
//                               would (port and rate picked, the connect
//                               button pressed), waits until the settings
//                               are loaded, prints "connected <ms>" and ends
//   --idle <com> <port dir>     connects the same way, prints "pid <pid>" and
//                               "connected", then stays connected and idle
//                               until "quit" (or the end of its input)
//   --lost <com> <port dir>     connects, prints "connected"; when the port
//                               hangs up and the window has taken its
//                               disconnected look, prints "lost <ns>"; on
//                               "again" (the adapter is back), once the list
//                               selects the port, connects with one click and
//                               prints "connected" again; until "quit"
//   --list <port dir>           prints "ready", then "listed <item> <ns>" and
//                               "unlisted <item> <ns>" as the port list
//                               follows the system; until "quit"
//
// At the end it prints "peak <kB>": the process's peak resident memory
// (VmHWM). The parent cannot take it from wait4: a child started by vfork
// inherits the parent's high-water mark at exec.
#include <time.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QPushButton>
#include <QSet>
#include <QSocketNotifier>
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
#include "port_sources.h"

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

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// A box would wait for a user who is not there: record it and answer OK.
class AnsweringBoxes : public tavrol::app::MessageBoxService {
public:
    int Show(QWidget*, const QString& text, const QString&, unsigned flags, const QString&) override {
        ++shown;
        last = text.toStdString();
        if (onShow) onShow(text);
        return (flags & tavrol::app::MB_BUTTON_MASK) == tavrol::app::MB_YESNO ? tavrol::app::IDNO
                                                                               : tavrol::app::IDOK;
    }
    void CloseOpenBoxes() override {}
    int shown = 0;
    std::string last;
    std::function<void(const QString&)> onShow;
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

enum class Mode { FirstPaint, Connect, Idle, Lost, List };

struct Args {
    Mode mode = Mode::FirstPaint;
    int com = 0;
    std::string portDirectory;
};

bool ParseArgs(int argc, char** argv, Args* args) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (argc == 2 && mode == "--first-paint") return true;
    if (argc == 3 && mode == "--list") {
        args->mode = Mode::List;
        args->portDirectory = argv[2];
        return true;
    }
    if (argc != 4) return false;
    if (mode == "--connect") args->mode = Mode::Connect;
    else if (mode == "--idle") args->mode = Mode::Idle;
    else if (mode == "--lost") args->mode = Mode::Lost;
    else return false;
    args->com = std::atoi(argv[2]);
    args->portDirectory = argv[3];
    return true;
}

// Runs one of the modes on the started window.
class Driver {
public:
    Driver(const Args& args, TMainForm& form, AnsweringBoxes& boxes) : args_(args), form_(form), boxes_(boxes) {}

    int status = 0;

    void Finish(int code) {
        status = code;
        form_.close();
        QCoreApplication::quit();
    }

    // Once the window has painted.
    void Start() {
        switch (args_.mode) {
            case Mode::FirstPaint: Finish(0); return;
            case Mode::Connect: ConnectThen([this](double ms) {
                Say("connected " + std::to_string(ms));
                // A moment connected and idle, with the pages painted.
                QTimer::singleShot(300, &form_, [this] { Finish(0); });
            });
                return;
            case Mode::Idle:
                ListenForQuit();
                ConnectThen([](double) {
                    Say("pid " + std::to_string(::getpid()));
                    Say("connected");
                });
                return;
            case Mode::Lost: FollowHangUps(); return;
            case Mode::List: FollowList(); return;
        }
    }

private:
    // Picks COM<com> and 115200 and presses the connect button; the handler
    // runs its nested loop inside the click.
    void ConnectThen(const std::function<void(double)>& connected) {
        const int port = form_.ComboBoxComPorts->findText(QStringLiteral("COM%1").arg(args_.com));
        const int rate = form_.InputUSARTBaud->findText(QStringLiteral("115200"));
        if (port < 0 || rate < 0) {
            std::fprintf(stderr, "COM%d or 115200 is not listed\n", args_.com);
            Finish(1);
            return;
        }
        form_.ComboBoxComPorts->setCurrentIndex(port);
        form_.InputUSARTBaud->setCurrentIndex(rate);
        const std::uint64_t start = MonotonicNanos();
        form_.ButtonConnect->click();
        const double ms = static_cast<double>(MonotonicNanos() - start) / 1e6;
        if (boxes_.shown > 0 || form_.ButtonConnect->text() != QString::fromUtf8("关闭串口")) {
            std::fprintf(stderr, "not connected; last box: %s\n", boxes_.last.c_str());
            Finish(1);
            return;
        }
        connected(ms);
    }

    // Lines from the benchmark: "quit" ends, "again" says the adapter is back.
    void ListenForQuit() {
        auto* input = new QSocketNotifier(0, QSocketNotifier::Read, &form_);
        QObject::connect(input, &QSocketNotifier::activated, &form_, [this, input] {
            char text[256];
            const ssize_t n = ::read(0, text, sizeof text);
            const std::string lines = n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
            if (n <= 0 || lines.find("quit") != std::string::npos) {
                input->setEnabled(false);
                Finish(0);
            } else if (lines.find("again") != std::string::npos) {
                AdapterIsBack();
            }
        });
    }

    // The box the window shows once its disconnect steps are done marks the
    // moment of the disconnected look.
    void FollowHangUps() {
        ListenForQuit();
        const QString lostText = QString::fromUtf8("串口已断开，请检查设备连接！");
        boxes_.onShow = [this, lostText](const QString& text) {
            if (text == lostText) Say("lost " + std::to_string(MonotonicNanos()));
        };
        // Waits for the list to select the port again.
        QObject::connect(form_.ComboBoxComPorts, &QComboBox::currentIndexChanged, &form_, [this](int index) {
            if (!awaitingReturn_ || index < 0) return;
            awaitingReturn_ = false;
            QTimer::singleShot(0, &form_, [this] { ConnectAgain(); });
        });
        ConnectThen([](double) { Say("connected"); });
    }

    void AdapterIsBack() {
        if (form_.Busy()) {
            // Input is not taken while a handler runs; try once it has ended.
            QTimer::singleShot(10, &form_, [this] { AdapterIsBack(); });
        } else if (form_.ComboBoxComPorts->currentIndex() >= 0) {
            ConnectAgain();
        } else {
            awaitingReturn_ = true;
        }
    }

    void ConnectAgain() {
        boxes_.shown = 0;
        form_.ButtonConnect->click();
        if (!form_.Channel.IsOpen()) {
            std::fprintf(stderr, "no connection after the port came back: %s\n", boxes_.last.c_str());
            Finish(1);
            return;
        }
        Say("connected");
    }

    void FollowList() {
        ListenForQuit();
        listed_ = Items();
        QAbstractItemModel* model = form_.ComboBoxComPorts->model();
        auto changed = [this] {
            if (reportPending_) return;
            reportPending_ = true;
            QTimer::singleShot(0, &form_, [this] { ReportList(); });
        };
        QObject::connect(model, &QAbstractItemModel::rowsInserted, &form_, changed);
        QObject::connect(model, &QAbstractItemModel::rowsRemoved, &form_, changed);
        Say("ready");
    }

    QSet<QString> Items() const {
        QSet<QString> items;
        for (int i = 0; i < form_.ComboBoxComPorts->count(); ++i) items.insert(form_.ComboBoxComPorts->itemText(i));
        return items;
    }

    void ReportList() {
        reportPending_ = false;
        const std::string now = std::to_string(MonotonicNanos());
        const QSet<QString> items = Items();
        for (const QString& item : items)
            if (!listed_.contains(item)) Say("listed " + item.toStdString() + " " + now);
        for (const QString& item : listed_)
            if (!items.contains(item)) Say("unlisted " + item.toStdString() + " " + now);
        listed_ = items;
    }

    const Args& args_;
    TMainForm& form_;
    AnsweringBoxes& boxes_;
    bool awaitingReturn_ = false;
    bool reportPending_ = false;
    QSet<QString> listed_;
};

}  // namespace

int main(int argc, char** argv) {
    Args args;
    if (!ParseArgs(argc, argv, &args)) {
        std::fprintf(stderr,
                     "usage: tavrol-bench-window --first-paint | --list <port directory> |\n"
                     "       --connect|--idle|--lost <com> <port directory>\n");
        return 2;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    tavrol::PortSources sources = tavrol::DefaultPortSources();
    if (!args.portDirectory.empty()) sources.portDirectory = args.portDirectory;
    AnsweringBoxes boxes;
    tavrol::app::SetMessageBoxService(&boxes);

    int status = 0;
    {
        // As the program's entry point does it.
        TApplication application(argc, argv);
        ApplyDesignFont(application);
        application.setWindowIcon(AppIcon());
        TMainForm form(nullptr, sources);
        Driver driver(args, form, boxes);
        FirstPaint watch(&form, [&] {
            if (args.mode == Mode::FirstPaint) Say("painted " + std::to_string(MonotonicNanos()));
            driver.Start();
        });
        application.installEventFilter(&watch);
        form.show();
        application.exec();
        application.removeEventFilter(&watch);
        status = driver.status;
    }
    tavrol::app::SetMessageBoxService(nullptr);
    std::printf("peak %ld\n", PeakResidentKiB());
    return status;
}
