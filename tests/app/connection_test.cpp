// Connecting at a chosen rate or by the rate search, the identifier text,
// every failure path and disconnecting.
#include <QCoreApplication>
#include <QLabel>
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

void ExpectDisconnectedLook(TMainForm& form) {
    EXPECT_FALSE(form.Channel.IsOpen());
    EXPECT_EQ(form.ButtonConnect->text(), U("打开串口"));
    EXPECT_FALSE(form.pgc1->isTabVisible(0));
    EXPECT_FALSE(form.pgc1->isTabVisible(1));
    EXPECT_TRUE(form.ComboBoxComPorts->isEnabled());
    EXPECT_TRUE(form.ButtonRefresh->isEnabled());
    EXPECT_TRUE(form.Label1->isEnabled());
    EXPECT_TRUE(form.Label2->isEnabled());
    EXPECT_FALSE(form.Label3->isEnabled());
    EXPECT_FALSE(form.LabelCPUID->isEnabled());
    EXPECT_TRUE(form.InputUSARTBaud->isEnabled());
    EXPECT_EQ(form.LabelCPUID->text(), "");
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
    ExpectDisconnectedLook(*form);
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

TEST_F(WindowTest, InputDuringASearchWaitsUntilTheSearchHasEnded) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    CreateWindow();
    TMainForm::SetTransactionTimeoutForTesting(100);
    ASSERT_TRUE(SelectAdapterPort());
    // A second press of the connect button while the search runs: it must
    // neither run inside the search nor be lost.
    bool pressedDuringSearch = false;
    QTimer::singleShot(300, [&] {
        pressedDuringSearch = form->Busy();
        form->ButtonConnect->click();
    });
    ClickConnect();
    ASSERT_TRUE(pressedDuringSearch);
    ASSERT_TRUE(form->Channel.IsOpen());
    EXPECT_EQ(form->ButtonConnect->text(), U("关闭串口"));
    // Now the held-back press runs: it disconnects.
    QCoreApplication::processEvents();
    EXPECT_FALSE(form->Channel.IsOpen());
    EXPECT_EQ(form->ButtonConnect->text(), U("打开串口"));
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
    QTimer::singleShot(400, [&] { form->close(); });
    ClickConnect();
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->Channel.IsOpen());
    EXPECT_LT(statusMessages.size(), 29);
    EXPECT_TRUE(boxes.shown.empty()) << boxes.Texts().join(" | ").toStdString();
    EXPECT_TRUE(Requests().isEmpty());
}

TEST_F(WindowTest, APortHeldByAnotherOpenerFailsOnceInEitherBranch) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    CreateWindow();
    PortCatalog ports(Sources());
    RT_COM other(64, CreateSystemSerialPort(), &ports);
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
        EXPECT_EQ(boxes.shown[0].caption, "Tavrol");
        EXPECT_EQ(boxes.shown[0].flags, app::MB_OK | app::MB_ICONERROR);
        ExpectDisconnectedLook(*form);
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
    ExpectDisconnectedLook(*form);
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
