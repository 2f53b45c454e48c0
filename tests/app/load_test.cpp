// Loading the adapter's settings into the pages.
#include <thread>

#include "can_message.h"
#include "registers.h"
#include "window_fixture.h"

namespace tavrol::apptest {
namespace {

struct LoadedRow {
    std::uint32_t idWord, maskWord;
    const char* enable;
    const char* format;
    const char* id;
    const char* mask;
};

TEST_F(WindowTest, LoadShowsEachFilterBoxAndRateAsTheAdapterHoldsThem) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    const LoadedRow rows[] = {
        {0xC0000123, 0x1FFFFFFF, "1", "扩展", "00000123", "1FFFFFFF"},
        {0x800007FF, 0xFFFFFFFF, "1", "标准", "7FF", "7FF"},
        {0x00012345, 0x00000000, "0", "标准", "345", "000"},
        {0x40000005, 0xE000000A, "0", "扩展", "00000005", "0000000A"},
        {0xFFFFFFFF, 0xFFFFFFFF, "1", "扩展", "1FFFFFFF", "1FFFFFFF"},
        {0x00000000, 0x00000000, "0", "标准", "000", "000"},
    };
    sim::Registers regs = adapter->GetRegisters();
    for (std::size_t n = 0; n < std::size(rows); ++n) regs.filters[n] = Words(rows[n].idWord, rows[n].maskWord);
    regs.art = 2;   // any non-zero byte checks the box
    regs.abom = 0;  // the box already shows this: no write-back
    regs.canBaud = 250000;
    adapter->SetRegisters(regs);
    CreateWindow();
    ASSERT_NO_FATAL_FAILURE(ConnectAt(115200));

    FilterTableView* view = form->cxGrid1BandedTableView1;
    ASSERT_EQ(view->RowCount(), 14);
    for (int n = 0; n < 14; ++n) EXPECT_EQ(Cell(n, form->cxGrid1BandedTableView1ColumnIndex), QString::number(n + 1));
    for (std::size_t n = 0; n < std::size(rows); ++n) {
        SCOPED_TRACE(n);
        const int r = static_cast<int>(n);
        EXPECT_EQ(Cell(r, form->cxGrid1BandedTableView1ColumnEnable), rows[n].enable);
        EXPECT_EQ(Cell(r, form->cxGrid1BandedTableView1ColumnFormat), U(rows[n].format));
        EXPECT_EQ(Cell(r, form->cxGrid1BandedTableView1ColumnID), rows[n].id);
        EXPECT_EQ(Cell(r, form->cxGrid1BandedTableView1ColumnMask), rows[n].mask);
    }
    EXPECT_TRUE(form->CheckBoxART->isChecked());
    EXPECT_FALSE(form->CheckBoxABOM->isChecked());
    EXPECT_EQ(form->EditCANBaudRate->value(), 250000);
    EXPECT_EQ(form->EditCANBaudRate->text(), "250000");
    EXPECT_EQ(form->CBUSARTBaud->currentIndex(), form->InputUSARTBaud->currentIndex());

    const QStringList requests = Requests();
    ASSERT_GE(requests.size(), 5);
    EXPECT_EQ(requests.mid(requests.size() - 4),
              QStringList({"R ABOM", "R ART", "W ART 01", "R CAN_BAUD"}));
    // The write-back sent the value just read, as one byte.
    const sim::Exchange artWrite = adapter->Log()[adapter->Log().size() - 2];
    EXPECT_EQ(artWrite.request.Dlc, 1);
    EXPECT_EQ(artWrite.request.Data[0], 1);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(WindowTest, ARateOfTheSerialPageFollowsTheConnection) {
    sim::Options options;
    options.serialRate = 9600;
    ASSERT_NO_FATAL_FAILURE(StartAdapter(options));
    CreateWindow();
    ASSERT_NO_FATAL_FAILURE(ConnectAt(9600));
    EXPECT_EQ(form->CBUSARTBaud->currentText(), "9600");
}

TEST_F(WindowTest, ALoadWhoseReadsAllFailIsSilentAndKeepsWhatItCouldNotRead) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    sim::Registers regs = adapter->GetRegisters();
    regs.filters[0] = Words(0xC0000123, 0x1FFFFFFF);
    regs.canBaud = 125000;
    adapter->SetRegisters(regs);
    CreateWindow();
    ASSERT_NO_FATAL_FAILURE(ConnectAt(115200));
    ASSERT_TRUE(form->CheckBoxART->isChecked());
    ASSERT_EQ(Cell(0, form->cxGrid1BandedTableView1ColumnEnable), "1");
    form->EditCANBaudRate->setValue(4321);
    form->CBUSARTBaud->setCurrentIndex(3);

    sim::Faults faults;
    faults.dropEvery = 1;
    adapter->SetFaults(faults);
    adapter->ClearLog();
    TMainForm::SetTransactionTimeoutForTesting(60);
    form->LoadDeviceSettings();

    EXPECT_TRUE(boxes.shown.empty()) << boxes.Texts().join(" | ").toStdString();
    EXPECT_EQ(Requests().size(), 17);
    EXPECT_TRUE(form->CheckBoxART->isChecked());
    EXPECT_TRUE(form->CheckBoxABOM->isChecked());
    EXPECT_EQ(form->EditCANBaudRate->value(), 4321);
    EXPECT_EQ(form->CBUSARTBaud->currentIndex(), form->InputUSARTBaud->currentIndex());
    // Each row's number is set and its Enable cell cleared; the rest stays.
    for (int n = 0; n < 14; ++n) {
        EXPECT_EQ(Cell(n, form->cxGrid1BandedTableView1ColumnIndex), QString::number(n + 1));
        EXPECT_EQ(Cell(n, form->cxGrid1BandedTableView1ColumnEnable), "0");
    }
    EXPECT_EQ(Cell(0, form->cxGrid1BandedTableView1ColumnID), "00000123");
    EXPECT_EQ(Cell(0, form->cxGrid1BandedTableView1ColumnMask), "1FFFFFFF");
    EXPECT_EQ(Cell(0, form->cxGrid1BandedTableView1ColumnFormat), U("扩展"));
}

TEST_F(WindowTest, RowsWhoseFirstReadFailsStayEmptyAndAFailedWriteBackIsReported) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    // Every third reply is lost: the two identifier reads pass, then the
    // reads of filters 0, 3, 6, 9 and 12, the write-back of ABOM and the
    // read of the bit rate fail.
    sim::Faults faults;
    faults.dropEvery = 3;
    adapter->SetFaults(faults);
    CreateWindow();
    ASSERT_NO_FATAL_FAILURE(ConnectAt(115200));

    for (int n = 0; n < 14; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(Cell(n, form->cxGrid1BandedTableView1ColumnIndex), QString::number(n + 1));
        EXPECT_EQ(Cell(n, form->cxGrid1BandedTableView1ColumnEnable), "0");
        const QString expected = n % 3 == 0 ? "<empty>" : "000";
        EXPECT_EQ(Cell(n, form->cxGrid1BandedTableView1ColumnID), expected);
        EXPECT_EQ(Cell(n, form->cxGrid1BandedTableView1ColumnMask), expected);
        EXPECT_EQ(Cell(n, form->cxGrid1BandedTableView1ColumnFormat), n % 3 == 0 ? "<empty>" : U("标准"));
    }
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, U("配置失败！"));
    EXPECT_EQ(boxes.shown[0].flags, app::MB_OK | app::MB_ICONERROR);
    // The box keeps the state the load gave it; the edit keeps its value.
    EXPECT_TRUE(form->CheckBoxABOM->isChecked());
    EXPECT_TRUE(form->CheckBoxART->isChecked());
    EXPECT_EQ(form->EditCANBaudRate->value(), 1000000);
    // The connection stands all the same.
    EXPECT_EQ(form->ButtonConnect->text(), U("关闭串口"));
    EXPECT_TRUE(form->pgc1->isTabVisible(0));
}

TEST_F(WindowTest, AReloadThatReadsWhatTheBoxesShowWritesNothing) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    CreateWindow();
    ASSERT_NO_FATAL_FAILURE(ConnectAt(115200));
    ASSERT_TRUE(form->CheckBoxABOM->isChecked());
    ClickConnect();
    adapter->ClearLog();
    ClickConnect();
    ASSERT_TRUE(form->Channel.IsOpen());
    for (const QString& line : Requests()) EXPECT_TRUE(line.startsWith("R ")) << line.toStdString();
    EXPECT_EQ(Requests().size(), 2 + 17);
}

}  // namespace
}  // namespace tavrol::apptest
