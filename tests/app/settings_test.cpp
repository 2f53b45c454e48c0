// The device settings: the two check boxes, the CAN bit rate, the factory
// reset and the adapter's own serial rate.
#include <QTest>

#include <ostream>

#include "window_fixture.h"

namespace tavrol::apptest {
namespace {

const char* const kQuestion =
    "恢复出厂设置将覆盖掉您的配置，确定要这样做吗？\n选择“是”恢复出厂设置\n选择“否”取消";

sim::Faults DropAll() {
    sim::Faults f;
    f.dropEvery = 1;
    return f;
}

class SettingsTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(StartAdapter());
        CreateWindow();
        form->show();
        ASSERT_NO_FATAL_FAILURE(ConnectAt(115200));
        adapter->ClearLog();
        boxes.shown.clear();
    }

    void ExpectOnlyBox(const char* text, unsigned flags) {
        ASSERT_EQ(boxes.shown.size(), 1u) << boxes.Texts().join(" | ").toStdString();
        EXPECT_EQ(boxes.shown[0].text, U(text));
        EXPECT_EQ(boxes.shown[0].caption, "Tavrol");
        EXPECT_EQ(boxes.shown[0].flags, flags);
    }
};

TEST_F(SettingsTest, EachCheckBoxClickWritesItsRegisterAsOneByte) {
    struct Box {
        QCheckBox* box;
        const char* name;
    };
    for (const Box& b : {Box{form->CheckBoxART, "ART"}, Box{form->CheckBoxABOM, "ABOM"}}) {
        SCOPED_TRACE(b.name);
        adapter->ClearLog();
        ASSERT_TRUE(b.box->isChecked());  // as the load found them
        QTest::mouseClick(b.box, Qt::LeftButton, {}, QPoint(6, b.box->height() / 2));
        EXPECT_FALSE(b.box->isChecked());
        QTest::mouseClick(b.box, Qt::LeftButton, {}, QPoint(6, b.box->height() / 2));
        EXPECT_TRUE(b.box->isChecked());
        EXPECT_EQ(Requests(), QStringList({QString("W %1 00").arg(b.name), QString("W %1 01").arg(b.name)}));
        const auto log = adapter->Log();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0].request.Dlc, 1);
        EXPECT_EQ(log[0].request.Extended, 1);
    }
    EXPECT_EQ(adapter->GetRegisters().art, 1);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(SettingsTest, AFailedCheckBoxWriteIsReportedAndTheBoxKeepsTheClick) {
    adapter->SetFaults(DropAll());
    form->CheckBoxART->click();
    ExpectOnlyBox("配置失败！", app::MB_OK | app::MB_ICONERROR);
    EXPECT_FALSE(form->CheckBoxART->isChecked());
    EXPECT_EQ(Requests(), QStringList({"W ART 00"}));
}

TEST_F(SettingsTest, BitRateButtonWritesTheTypedValue) {
    form->EditCANBaudRate->selectAll();
    QTest::keyClicks(form->EditCANBaudRate, "500000");
    // Still typing: the value has followed the text already.
    form->ButtonSetCANBaudRate->click();
    QTest::keyClick(form->EditCANBaudRate, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(form->EditCANBaudRate, "125000");
    form->ButtonSetCANBaudRate->click();
    EXPECT_EQ(Requests(), QStringList({"W CAN_BAUD 20 a1 07 00", "W CAN_BAUD 48 e8 01 00"}));
    EXPECT_EQ(adapter->GetRegisters().canBaud, 125000u);
    EXPECT_TRUE(boxes.shown.empty());

    adapter->SetFaults(DropAll());
    form->ButtonSetCANBaudRate->click();
    ExpectOnlyBox("配置失败！", app::MB_OK | app::MB_ICONERROR);
}

TEST_F(SettingsTest, FactoryResetAnsweredNoSendsNothing) {
    boxes.answers = {app::IDNO};
    form->RzButton1->click();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, U(kQuestion));
    EXPECT_EQ(boxes.shown[0].text.count('\n'), 2);
    EXPECT_EQ(boxes.shown[0].caption, U("恢复出厂设置"));
    EXPECT_EQ(boxes.shown[0].flags, app::MB_YESNO | app::MB_ICONQUESTION);
    EXPECT_TRUE(Requests().isEmpty());
}

TEST_F(SettingsTest, FactoryResetAnsweredYesWritesOneAndReloads) {
    sim::Registers regs = adapter->GetRegisters();
    regs.canBaud = 125000;
    regs.art = 0;
    adapter->SetRegisters(regs);
    form->EditCANBaudRate->setValue(777);
    boxes.answers = {app::IDYES};
    form->RzButton1->click();

    ASSERT_EQ(boxes.shown.size(), 1u) << boxes.Texts().join(" | ").toStdString();
    QStringList expected = {"W FACTORY_RESET 01 00 00 00"};
    for (int n = 0; n < 14; ++n) expected << QString("R FILTER_%1").arg(n);
    expected << "R ABOM" << "R ART" << "R CAN_BAUD";
    EXPECT_EQ(Requests(), expected);
    // The pages show the factory settings.
    EXPECT_EQ(form->EditCANBaudRate->value(), 500000);
    EXPECT_TRUE(form->CheckBoxART->isChecked());
}

TEST_F(SettingsTest, AFailedFactoryResetIsReportedAndReloadsAllTheSame) {
    adapter->SetFaults(DropAll());
    TMainForm::SetTransactionTimeoutForTesting(60);
    boxes.answers = {app::IDYES};
    form->RzButton1->click();
    ASSERT_EQ(boxes.Texts(), QStringList({U(kQuestion), U("配置失败！")}));
    EXPECT_EQ(boxes.shown[1].flags, app::MB_OK | app::MB_ICONERROR);
    EXPECT_EQ(Requests().size(), 1 + 17);
    EXPECT_EQ(Requests().value(0), "W FACTORY_RESET 01 00 00 00");
}

struct SerialRateCase {
    const char* name;
    int rate;
    const char* bytes;
    bool writeFails;
};

void PrintTo(const SerialRateCase& c, std::ostream* os) { *os << c.name; }

class SerialRateTest : public SettingsTest, public ::testing::WithParamInterface<SerialRateCase> {};

TEST_P(SerialRateTest, WritesTheRateTellsTheUserAndDisconnects) {
    const SerialRateCase& c = GetParam();
    if (c.writeFails) adapter->SetFaults(DropAll());
    form->CBUSARTBaud->setCurrentIndex(form->CBUSARTBaud->findText(QString::number(c.rate)));
    // The notice comes while the port is still open.
    bool openAtNotice = false;
    boxes.onShow = [&](const ShownBox& box) {
        if (box.text == U("请拔掉模块，然后重新插上！")) openAtNotice = form->Channel.IsOpen() != 0;
    };
    form->btn1->click();

    EXPECT_EQ(Requests(), QStringList({QString("W USART_BAUD %1").arg(c.bytes)}));
    QStringList expectedBoxes;
    if (c.writeFails) expectedBoxes << U("配置失败！");
    expectedBoxes << U("请拔掉模块，然后重新插上！");
    ASSERT_EQ(boxes.Texts(), expectedBoxes);
    EXPECT_EQ(boxes.shown.back().flags, app::MB_OK | app::MB_ICONINFORMATION);
    EXPECT_TRUE(openAtNotice);

    EXPECT_FALSE(form->Channel.IsOpen());
    EXPECT_EQ(form->ButtonConnect->text(), U("打开串口"));
    EXPECT_FALSE(form->pgc1->isTabVisible(0));
    EXPECT_FALSE(form->pgc1->isTabVisible(1));
    EXPECT_TRUE(form->InputUSARTBaud->isEnabled());
    EXPECT_EQ(form->InputUSARTBaud->currentText(), QString::number(c.rate));
    EXPECT_TRUE(form->ComboBoxComPorts->isEnabled());
    EXPECT_EQ(form->LabelCPUID->text(), "");
    if (!c.writeFails) {
        EXPECT_EQ(adapter->GetRegisters().pendingSerialRate, static_cast<std::uint32_t>(c.rate));
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, SerialRateTest,
                         ::testing::Values(SerialRateCase{"Rate115200", 115200, "00 c2 01 00", false},
                                           SerialRateCase{"FirstRate300", 300, "2c 01 00 00", false},
                                           SerialRateCase{"LastRate921600", 921600, "00 10 0e 00", false},
                                           SerialRateCase{"WriteFails", 9600, "80 25 00 00", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SettingsTest, SerialRateButtonWithoutASelectionDoesNothing) {
    form->CBUSARTBaud->setCurrentIndex(-1);
    form->btn1->click();
    EXPECT_TRUE(Requests().isEmpty());
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_TRUE(form->Channel.IsOpen());
}

}  // namespace
}  // namespace tavrol::apptest
