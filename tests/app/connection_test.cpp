// Connecting at a chosen rate or by the rate search, the identifier text,
// every failure path and disconnecting.
#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QLabel>
#include <QTest>
#include <QTimer>

#include <ostream>

#include "window_fixture.h"

namespace tavrol::apptest {
namespace {

const char* const kNoIdentifier = "无法获取设备序列号，请确认串口号正确以及设备安装正确！";
const char* const kOpenFailed = "打开串口失败！";

// What every successful connection puts on the line after the identifier:
// the load with the write-backs of both boxes (the adapter holds 1 and 1,
// the boxes start unchecked).
QStringList FirstLoad() {
    QStringList lines;
    for (int n = 0; n < 14; ++n) lines << QString("R FILTER_%1").arg(n);
    lines << "R ABOM" << "W ABOM 01" << "R ART" << "W ART 01" << "R CAN_BAUD";
    return lines;
}

TEST_F(WindowTest, FixedRateConnectShowsIdentifierLoadsAndShowsThePages) {
    sim::Options options;
    options.cpuid = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b};
    ASSERT_NO_FATAL_FAILURE(StartAdapter(options));
    CreateWindow();
    ASSERT_NO_FATAL_FAILURE(ConnectAt(115200));

    EXPECT_EQ(form->LabelCPUID->text(), "0001-0203-0405-0607-0809-0a0b");
    EXPECT_GE(form->LabelCPUID->width(), form->LabelCPUID->fontMetrics().horizontalAdvance(form->LabelCPUID->text()));
    EXPECT_TRUE(form->pgc1->isTabVisible(0));
    EXPECT_TRUE(form->pgc1->isTabVisible(1));
    EXPECT_EQ(form->pgc1->currentWidget(), form->TabSheetCAN);
    EXPECT_FALSE(form->InputUSARTBaud->isEnabled());
    EXPECT_EQ(form->InputUSARTBaud->currentText(), "115200");
    EXPECT_FALSE(form->ComboBoxComPorts->isEnabled());
    EXPECT_FALSE(form->ButtonRefresh->isEnabled());
    EXPECT_TRUE(form->Label3->isEnabled());
    EXPECT_TRUE(form->LabelCPUID->isEnabled());
    EXPECT_TRUE(boxes.shown.empty()) << boxes.Texts().join(" | ").toStdString();
    EXPECT_TRUE(statusMessages.isEmpty());

    QStringList expected = {"R CPUID_LO", "R CPUID_HI"};
    expected << FirstLoad();
    EXPECT_EQ(Requests(), expected);

    // Disconnect: port closed, pages hidden, identity cleared, rate kept.
    adapter->ClearLog();
    ClickConnect();
    ExpectDisconnectedLook();
    EXPECT_EQ(form->InputUSARTBaud->currentText(), "115200");
    EXPECT_TRUE(Requests().isEmpty());
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(WindowTest, IdentifierBytesShowAsLowerCaseHexInSixGroups) {
    const std::uint8_t low[8] = {0xAB, 0xcd, 0xEF, 0x10, 0x00, 0xff, 0x7a, 0x80};
    const std::uint8_t high[4] = {0x0A, 0xB0, 0xc1, 0xD2};
    const QString text = CpuIdFirstPiece(low) + CpuIdSecondPiece(high);
    EXPECT_EQ(CpuIdFirstPiece(low), "abcd-ef10-00ff-7a80");
    EXPECT_EQ(text, "abcd-ef10-00ff-7a80-0ab0-c1d2");
    EXPECT_EQ(text.size(), 29);
}

TEST_F(WindowTest, SearchTriesTheRatesInOrderUntil115200AndKeepsIt) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());  // answers at 115200 only
    CreateWindow();
    TMainForm::SetTransactionTimeoutForTesting(150);
    ASSERT_TRUE(SelectAdapterPort());
    ClickConnect();
    ASSERT_TRUE(form->Channel.IsOpen()) << boxes.Texts().join(" | ").toStdString();
    EXPECT_TRUE(boxes.shown.empty()) << boxes.Texts().join(" | ").toStdString();

    // The status bar named each rate as it was tried: 300 to 76800, then 115200.
    const QStringList order = {"300",   "600",   "1200",  "1800",  "2400",  "4000",  "4800",
                               "7200",  "9600",  "14400", "16000", "19200", "28800", "38400",
                               "51200", "56000", "57600", "64000", "76800", "115200"};
    ASSERT_EQ(statusMessages.size(), order.size()) << statusMessages.join(" | ").toStdString();
    for (int i = 0; i < order.size(); ++i)
        EXPECT_TRUE(statusMessages[i].contains(order[i])) << statusMessages[i].toStdString();
    EXPECT_TRUE(form->RzStatusBar1->currentMessage().isEmpty());

    // Only the attempt at the right rate reached the adapter.
    QStringList expected = {"R CPUID_LO", "R CPUID_HI"};
    expected << FirstLoad();
    EXPECT_EQ(Requests(), expected);
    EXPECT_EQ(form->InputUSARTBaud->currentText(), "115200");
    EXPECT_EQ(form->CBUSARTBaud->currentText(), "115200");
    EXPECT_EQ(form->LabelCPUID->text(), "3031-3233-3435-3637-3839-3a3b");

    // After a disconnect the next connection opens 115200 at once.
    ClickConnect();
    ASSERT_FALSE(form->Channel.IsOpen());
    statusMessages.clear();
    ClickConnect();
    EXPECT_TRUE(form->Channel.IsOpen());
    EXPECT_TRUE(statusMessages.isEmpty());
}

TEST_F(WindowTest, InputDuringASearchIsDroppedWhileTheWindowShowsItIsBusy) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    // A second port after the adapter's, for a key to move to.
    sim::Options secondOptions;
    secondOptions.com = adapter->ComNumber() + 1;
    secondOptions.portDirectory = PortDirectory();
    sim::VirtualAdapter second(secondOptions);
    ASSERT_TRUE(second.Start());
    CreateWindow();
    form->show();
    TMainForm::SetTransactionTimeoutForTesting(100);
    ASSERT_TRUE(SelectAdapterPort());
    const int pickedItem = form->ComboBoxComPorts->currentIndex();
    ASSERT_EQ(pickedItem, 0);
    // While the search waits: a real click on the connect button, a key that
    // would pick another port item, and a click made by the program.
    bool waiting = false;
    Qt::CursorShape cursor = Qt::ArrowCursor;
    QString status;
    QTimer::singleShot(300, [&] {
        waiting = form->Waiting();
        if (QGuiApplication::overrideCursor() != nullptr) cursor = QGuiApplication::overrideCursor()->shape();
        status = form->RzStatusBar1->currentMessage();
        QTest::mouseClick(form->ButtonConnect, Qt::LeftButton);
        QTest::keyClick(form->ComboBoxComPorts, Qt::Key_Down);
        form->ButtonConnect->click();
    });
    ClickConnect();
    ASSERT_TRUE(waiting);
    EXPECT_EQ(cursor, Qt::WaitCursor);
    EXPECT_TRUE(status.startsWith(U("正在尝试波特率"))) << status.toStdString();

    // The search ended connected and nothing it dropped runs afterwards.
    ASSERT_TRUE(form->Channel.IsOpen());
    QCoreApplication::processEvents();
    EXPECT_TRUE(form->Channel.IsOpen());
    EXPECT_EQ(form->ButtonConnect->text(), U("关闭串口"));
    EXPECT_EQ(form->ComboBoxComPorts->currentIndex(), pickedItem);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(WindowTest, ClosingTheWindowDuringASearchStopsItWithThePortClosed) {
    sim::Options options;
    options.serialRate = 921600;  // the last rate: the search would try them all
    ASSERT_NO_FATAL_FAILURE(StartAdapter(options));
    CreateWindow();
    form->show();
    TMainForm::SetTransactionTimeoutForTesting(100);
    ASSERT_TRUE(SelectAdapterPort());
    qsizetype triedWhenClosed = -1;
    QTimer::singleShot(400, [&] {
        triedWhenClosed = statusMessages.size();
        form->close();
    });
    ClickConnect();
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->Channel.IsOpen());
    // The attempt in progress ended; no further rate was tried.
    EXPECT_GT(triedWhenClosed, 0);
    EXPECT_EQ(statusMessages.size(), triedWhenClosed);
    EXPECT_TRUE(boxes.shown.empty()) << boxes.Texts().join(" | ").toStdString();
    EXPECT_TRUE(Requests().isEmpty());
}

TEST_F(WindowTest, APortHeldByAnotherOpenerFailsOnceInEitherBranch) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    CreateWindow();
    PortCatalog otherPorts(Sources());
    RT_COM other(64, CreateSystemSerialPort(), &otherPorts);
    ASSERT_NE(other.Open(adapter->ComNumber(), 115200), 0);
    for (int rate : {115200, 0}) {
        SCOPED_TRACE(rate == 0 ? "search" : "fixed rate");
        boxes.shown.clear();
        statusMessages.clear();
        ASSERT_TRUE(SelectAdapterPort());
        if (rate != 0) SelectRate(rate);
        else form->InputUSARTBaud->setCurrentIndex(-1);
        ClickConnect();
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].text, U(kOpenFailed));
        EXPECT_EQ(boxes.shown[0].details, QString::fromStdString(adapter->SlavePath()) + U(" 正被其他程序使用。"));
        EXPECT_EQ(boxes.shown[0].caption, "Tavrol");
        EXPECT_EQ(boxes.shown[0].flags, app::MB_OK | app::MB_ICONERROR);
        ExpectDisconnectedLook();
        // The search stops at the first rate.
        EXPECT_LE(statusMessages.size(), 1);
    }
    other.Close();
}

struct IdentifierFailure {
    const char* name;
    sim::Faults faults;
    int rate;  // 0: search
};

void PrintTo(const IdentifierFailure& c, std::ostream* os) { *os << c.name; }

class IdentifierFailureTest : public WindowTest, public ::testing::WithParamInterface<IdentifierFailure> {};

TEST_P(IdentifierFailureTest, EndsDisconnectedWithThePortClosedAfterOneMessage) {
    const IdentifierFailure& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    adapter->SetFaults(c.faults);
    CreateWindow();
    TMainForm::SetTransactionTimeoutForTesting(c.rate == 0 ? 60 : 200);
    ASSERT_TRUE(SelectAdapterPort());
    if (c.rate != 0) SelectRate(c.rate);
    ClickConnect();
    ASSERT_EQ(boxes.shown.size(), 1u) << boxes.Texts().join(" | ").toStdString();
    EXPECT_EQ(boxes.shown[0].text, U(kNoIdentifier));
    EXPECT_EQ(boxes.shown[0].caption, "Tavrol");
    EXPECT_EQ(boxes.shown[0].flags, app::MB_OK | app::MB_ICONERROR);
    ExpectDisconnectedLook();
    if (c.rate != 0) {
        EXPECT_EQ(form->InputUSARTBaud->currentText(), QString::number(c.rate));
    } else {
        EXPECT_EQ(form->InputUSARTBaud->currentIndex(), -1);
        EXPECT_EQ(statusMessages.size(), 29);
    }
    // Nothing but identifier reads was sent.
    for (const QString& line : Requests()) EXPECT_TRUE(line.startsWith("R CPUID_")) << line.toStdString();

    // The next press connects anew.
    adapter->SetFaults({});
    boxes.shown.clear();
    SelectRate(115200);
    ClickConnect();
    EXPECT_TRUE(form->Channel.IsOpen());
    EXPECT_TRUE(boxes.shown.empty());
}

sim::Faults DropAll() {
    sim::Faults f;
    f.dropEvery = 1;
    return f;
}
sim::Faults DropSecond() {
    sim::Faults f;
    f.dropEvery = 2;  // the low half answers, the high half does not
    return f;
}
sim::Faults WrongId() {
    sim::Faults f;
    f.wrongId = true;
    return f;
}

INSTANTIATE_TEST_SUITE_P(Cases, IdentifierFailureTest,
                         ::testing::Values(IdentifierFailure{"NoAnswer", DropAll(), 115200},
                                           IdentifierFailure{"HighHalfMissing", DropSecond(), 115200},
                                           IdentifierFailure{"ReplyForAnotherRegister", WrongId(), 115200},
                                           IdentifierFailure{"SearchWithoutAnswer", DropAll(), 0},
                                           IdentifierFailure{"SearchHighHalfMissing", DropSecond(), 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowTest, ConnectWithoutASelectedPortDoesNothing) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    CreateWindow();
    SelectRate(115200);
    ClickConnect();
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_FALSE(form->Channel.IsOpen());
    EXPECT_TRUE(Requests().isEmpty());
    EXPECT_EQ(form->ButtonConnect->text(), U("打开串口"));
}

}  // namespace
}  // namespace tavrol::apptest
