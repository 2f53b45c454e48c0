// The window as it starts: layout, captions, start states, tab order, port
// list refresh and shut-down.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabBar>

#include <set>

#include "AppIcon.h"
#include "Application.h"
#include "window_fixture.h"

namespace tavrol::apptest {
namespace {

TEST_F(WindowTest, WindowIsFixedSizeWithCaptionIconAndNoMaximize) {
    CreateWindow();
    EXPECT_EQ(form->windowTitle(), "Tavrol for Ondrix");
    EXPECT_EQ(form->size(), QSize(373, 403));
    EXPECT_EQ(form->minimumSize(), QSize(373, 403));
    EXPECT_EQ(form->maximumSize(), QSize(373, 403));
    const Qt::WindowFlags flags = form->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    const QImage icon = DrawAppIconImage();
    EXPECT_EQ(icon.size(), QSize(32, 32));
    EXPECT_EQ(icon.depth(), 32);
    EXPECT_FALSE(form->windowIcon().isNull());
    EXPECT_EQ(MainForm, form.get());
}

struct Placed {
    const char* name;
    const char* parent;
    QRect geometry;
    const char* caption;  // nullptr: no caption to check
    bool enabled;
};

TEST_F(WindowTest, EveryControlHasItsPlaceCaptionAndStartState) {
    CreateWindow();
    const Placed controls[] = {
        {"GroupBox1", "MainForm", {0, 0, 373, 97}, "串口配置", true},
        {"ComboBoxComPorts", "GroupBox1", {130, 21, 79, 21}, nullptr, true},
        {"ButtonConnect", "GroupBox1", {287, 19, 75, 46}, "打开串口", true},
        {"ButtonRefresh", "GroupBox1", {215, 19, 58, 25}, "刷新列表", true},
        {"InputUSARTBaud", "GroupBox1", {130, 43, 79, 22}, nullptr, true},
        {"pgc1", "MainForm", {0, 97, 373, 287}, nullptr, true},
        {"EditCANBaudRate", "TabSheetCAN", {111, 3, 94, 21}, nullptr, true},
        {"ButtonSetCANBaudRate", "TabSheetCAN", {217, 1, 75, 25}, "配置波特率", true},
        {"RzButton1", "TabSheetCAN", {298, 1, 59, 48}, "恢复\n出厂设置", true},
        {"CheckBoxART", "TabSheetCAN", {111, 32, 69, 17}, "自动重发", true},
        {"CheckBoxABOM", "TabSheetCAN", {195, 32, 97, 17}, "自动离线管理", true},
        {"cxGrid1", "TabSheetCAN", {3, 55, 355, 205}, nullptr, true},
        {"CBUSARTBaud", "TabSheetUSART", {104, 29, 141, 22}, nullptr, true},
        {"btn1", "TabSheetUSART", {251, 28, 75, 25}, "确定", true},
        {"RzStatusBar1", "MainForm", {0, 384, 373, 19}, nullptr, true},
    };
    for (const Placed& c : controls) {
        SCOPED_TRACE(c.name);
        auto* w = form->findChild<QWidget*>(c.name);
        ASSERT_NE(w, nullptr);
        ASSERT_NE(w->parentWidget(), nullptr);
        EXPECT_EQ(w->parentWidget()->objectName(), c.parent);
        EXPECT_EQ(w->geometry(), c.geometry);
        EXPECT_EQ(w->isEnabled(), c.enabled);
        if (c.caption == nullptr) continue;
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            EXPECT_EQ(b->text(), U(c.caption));
        }
        if (auto* g = qobject_cast<QGroupBox*>(w)) {
            EXPECT_EQ(g->title(), U(c.caption));
        }
    }

    // Labels size themselves to their text, from their design position.
    const Placed labels[] = {
        {"Label1", "GroupBox1", {40, 24, 84, 13}, "请选择串口号：", true},
        {"Label2", "GroupBox1", {40, 48, 72, 13}, "串口波特率：", true},
        {"Label3", "GroupBox1", {40, 72, 64, 13}, "设备序列号:", false},
        {"LabelCPUID", "GroupBox1", {119, 72, 0, 13}, "", false},
        {"Label4", "TabSheetCAN", {8, 7, 81, 13}, "CAN总线波特率", true},
        {"Label8", "TabSheetCAN", {8, 34, 84, 13}, "接收过滤器配置", true},
        {"lbl1", "TabSheetUSART", {38, 34, 60, 13}, "串口波特率", true},
    };
    for (const Placed& c : labels) {
        SCOPED_TRACE(c.name);
        auto* label = form->findChild<QLabel*>(c.name);
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->parentWidget()->objectName(), c.parent);
        EXPECT_EQ(label->pos(), c.geometry.topLeft());
        EXPECT_EQ(label->text(), U(c.caption));
        EXPECT_EQ(label->isEnabled(), c.enabled);
        EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text()));
    }

    EXPECT_EQ(form->pgc1->count(), 2);
    EXPECT_EQ(form->pgc1->widget(0), form->TabSheetCAN);
    EXPECT_EQ(form->pgc1->widget(1), form->TabSheetUSART);
    EXPECT_EQ(form->pgc1->tabText(0), U("CAN接口配置"));
    EXPECT_EQ(form->pgc1->tabText(1), U("串口配置"));
    // No tab and no page until a connection succeeds.
    EXPECT_FALSE(form->pgc1->isTabVisible(0));
    EXPECT_FALSE(form->pgc1->isTabVisible(1));
    EXPECT_FALSE(form->pgc1->AnyTabVisible());

    EXPECT_EQ(form->RzStatusPane1->text(), "Tavrol");
    EXPECT_EQ(form->RzStatusPane2->text(), "V1.0.0.0");
    EXPECT_TRUE(form->RzStatusPane2->alignment().testFlag(Qt::AlignRight));

    EXPECT_FALSE(form->CheckBoxART->isChecked());
    EXPECT_FALSE(form->CheckBoxABOM->isChecked());
    EXPECT_EQ(form->EditCANBaudRate->value(), 1000000);
    EXPECT_EQ(form->EditCANBaudRate->minimum(), 1);
    EXPECT_EQ(form->EditCANBaudRate->maximum(), 1000000);
    EXPECT_EQ(form->EditCANBaudRate->buttonSymbols(), QAbstractSpinBox::NoButtons);
    EXPECT_TRUE(form->EditCANBaudRate->keyboardTracking());
}

TEST_F(WindowTest, BothRateListsHoldTheTwentyNineRatesWithNothingSelected) {
    CreateWindow();
    const QStringList rates = {"300",    "600",    "1200",   "1800",   "2400",   "4000",   "4800",   "7200",
                               "9600",   "14400",  "16000",  "19200",  "28800",  "38400",  "51200",  "56000",
                               "57600",  "64000",  "76800",  "115200", "128000", "153600", "230400", "250000",
                               "256000", "460800", "500000", "576000", "921600"};
    for (QComboBox* list : {form->InputUSARTBaud, form->CBUSARTBaud}) {
        SCOPED_TRACE(list->objectName().toStdString());
        QStringList items;
        for (int i = 0; i < list->count(); ++i) items << list->itemText(i);
        EXPECT_EQ(items, rates);
        EXPECT_EQ(list->currentIndex(), -1);
        EXPECT_FALSE(list->isEditable());
    }
    EXPECT_FALSE(form->ComboBoxComPorts->isEditable());
}

TEST_F(WindowTest, FilterTableHasItsFiveColumnsAndNoRowsBeforeALoad) {
    CreateWindow();
    FilterTableView* view = form->cxGrid1BandedTableView1;
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->objectName(), "cxGrid1BandedTableView1");
    EXPECT_EQ(form->cxGrid1Level1->objectName(), "cxGrid1Level1");
    EXPECT_EQ(form->cxGrid1Level1->GridView(), view);
    EXPECT_EQ(view->RowCount(), 0);

    struct Col {
        FilterColumn* column;
        const char* name;
        const char* caption;
        int width;
    };
    const Col columns[] = {
        {form->cxGrid1BandedTableView1ColumnIndex, "cxGrid1BandedTableView1ColumnIndex", "序号", 35},
        {form->cxGrid1BandedTableView1ColumnEnable, "cxGrid1BandedTableView1ColumnEnable", "使能", 53},
        {form->cxGrid1BandedTableView1ColumnFormat, "cxGrid1BandedTableView1ColumnFormat", "格式", 58},
        {form->cxGrid1BandedTableView1ColumnID, "cxGrid1BandedTableView1ColumnID", "标识符", 101},
        {form->cxGrid1BandedTableView1ColumnMask, "cxGrid1BandedTableView1ColumnMask", "掩码", 106},
    };
    // Left to right as displayed.
    for (int place = 0; place < 5; ++place) {
        const Col& c = columns[place];
        SCOPED_TRACE(c.name);
        ASSERT_NE(c.column, nullptr);
        EXPECT_EQ(c.column->objectName(), c.name);
        EXPECT_EQ(view->horizontalHeader()->visualIndex(c.column->Index()), place);
        EXPECT_EQ(view->model()->headerData(c.column->Index(), Qt::Horizontal).toString(), U(c.caption));
        EXPECT_EQ(c.column->Width(), c.width);
    }
    EXPECT_FALSE(view->isSortingEnabled());
    EXPECT_FALSE(view->horizontalHeader()->sectionsMovable());
    EXPECT_FALSE(view->verticalHeader()->isVisible());
    EXPECT_EQ(view->horizontalHeader()->sectionResizeMode(0), QHeaderView::Fixed);

}

TEST_F(WindowTest, FilterColumnsFillTheTableWidthOnceThePageShows) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    CreateWindow();
    form->show();
    ASSERT_NO_FATAL_FAILURE(ConnectAt(115200));
    QCoreApplication::processEvents();
    FilterTableView* view = form->cxGrid1BandedTableView1;
    ASSERT_EQ(view->RowCount(), 14);
    ASSERT_GT(view->viewport()->width(), 300);
    // The table lies wholly inside its page: nothing of it is cut off.
    EXPECT_TRUE(form->TabSheetCAN->rect().contains(form->cxGrid1->geometry()))
        << form->TabSheetCAN->height() << " " << form->cxGrid1->geometry().bottom();
    // The index column keeps its 35; the others share the rest.
    int total = 0;
    for (int i = 0; i < 5; ++i) total += view->horizontalHeader()->sectionSize(i);
    EXPECT_EQ(total, view->viewport()->width());
    EXPECT_EQ(view->horizontalHeader()->sectionSize(0), 35);
}

TEST_F(WindowTest, TabOrderFollowsTheDesign) {
    CreateWindow();
    const QStringList expected = {"ComboBoxComPorts", "ButtonConnect", "ButtonRefresh",        "InputUSARTBaud",
                                  "pgc1",             "CheckBoxART",   "CheckBoxABOM",         "ButtonSetCANBaudRate",
                                  "cxGrid1BandedTableView1", "RzButton1", "EditCANBaudRate", "btn1", "CBUSARTBaud"};
    const std::set<QString> wanted(expected.begin(), expected.end());
    QStringList seen;
    QWidget* w = form->ComboBoxComPorts;
    for (int guard = 0; guard < 500 && seen.size() < expected.size(); ++guard) {
        if (wanted.count(w->objectName()) && !seen.contains(w->objectName())) seen << w->objectName();
        w = w->nextInFocusChain();
    }
    EXPECT_EQ(seen, expected);
}

TEST_F(WindowTest, PortListShowsEachPortWithItsDevicePathAndNothingSelected) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    CreateWindow();
    ASSERT_EQ(form->ComboBoxComPorts->count(), 1);
    EXPECT_EQ(form->ComboBoxComPorts->itemText(0), QString("COM%1").arg(adapter->ComNumber()));
    EXPECT_EQ(form->ComboBoxComPorts->itemData(0, Qt::ToolTipRole).toString().toStdString(), adapter->SlavePath());
    EXPECT_EQ(form->ComboBoxComPorts->currentIndex(), -1);
    EXPECT_TRUE(form->ComboBoxComPorts->isEnabled());
    EXPECT_FALSE(form->Channel.IsOpen());
}

TEST_F(WindowTest, RefreshRebuildsTheListInSystemOrderAndClearsTheSelection) {
    sim::Options first;
    first.com = 3;
    ASSERT_NO_FATAL_FAILURE(StartAdapter(first));
    CreateWindow();
    ASSERT_EQ(form->ComboBoxComPorts->count(), 1);
    form->ComboBoxComPorts->setCurrentIndex(0);

    sim::Options secondOptions;
    secondOptions.com = 1;
    secondOptions.portDirectory = PortDirectory();
    sim::VirtualAdapter second(secondOptions);
    ASSERT_TRUE(second.Start());
    form->ButtonRefresh->click();
    ASSERT_EQ(form->ComboBoxComPorts->count(), 2);
    EXPECT_EQ(form->ComboBoxComPorts->itemText(0), "COM1");
    EXPECT_EQ(form->ComboBoxComPorts->itemText(1), "COM3");
    EXPECT_EQ(form->ComboBoxComPorts->currentIndex(), -1);

    // A refresh that finds no port at all empties the list.
    second.Stop();
    adapter->Stop();
    form->ComboBoxComPorts->setCurrentIndex(1);
    form->ButtonRefresh->click();
    EXPECT_EQ(form->ComboBoxComPorts->count(), 0);
    EXPECT_EQ(form->ComboBoxComPorts->currentIndex(), -1);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(WindowTest, WithoutPortsTheListIsEmptyAndConnectDoesNothing) {
    CreateWindow();
    EXPECT_EQ(form->ComboBoxComPorts->count(), 0);
    EXPECT_TRUE(form->ComboBoxComPorts->isEnabled());
    EXPECT_TRUE(form->ButtonConnect->isEnabled());
    form->ButtonConnect->click();
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_FALSE(form->Channel.IsOpen());
    EXPECT_EQ(form->ButtonConnect->text(), U("打开串口"));
}

TEST_F(WindowTest, SetConnectedStateSwitchesExactlyTheSixControls) {
    CreateWindow();
    for (int flag : {1, 7, -1, 0}) {
        SCOPED_TRACE(flag);
        form->SetConnectedState(flag);
        const bool on = flag != 0;
        EXPECT_EQ(form->Label3->isEnabled(), on);
        EXPECT_EQ(form->LabelCPUID->isEnabled(), on);
        EXPECT_EQ(form->ComboBoxComPorts->isEnabled(), !on);
        EXPECT_EQ(form->Label1->isEnabled(), !on);
        EXPECT_EQ(form->Label2->isEnabled(), !on);
        EXPECT_EQ(form->ButtonRefresh->isEnabled(), !on);
        EXPECT_TRUE(form->ButtonConnect->isEnabled());
        EXPECT_TRUE(form->InputUSARTBaud->isEnabled());
    }
}

TEST_F(WindowTest, DestroyingTheWindowClosesThePortBeforeTheControlsGo) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    CreateWindow();
    ASSERT_NO_FATAL_FAILURE(ConnectAt(115200));
    // The port is opened exclusively: another opener succeeds only once the
    // window has let it go.
    bool releasedFirst = false;
    const int com = adapter->ComNumber();
    QObject::connect(form->ButtonConnect, &QObject::destroyed, [&] {
        PortCatalog otherPorts(Sources());
        RT_COM other(64, CreateSystemSerialPort(), &otherPorts);
        releasedFirst = other.Open(com, 115200) != 0;
        other.Close();
    });
    form.reset();
    EXPECT_TRUE(releasedFirst);
    EXPECT_EQ(MainForm, nullptr);
}

TEST_F(WindowTest, ClosingTheWindowClosesThePort) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    CreateWindow();
    form->show();
    ASSERT_NO_FATAL_FAILURE(ConnectAt(115200));
    EXPECT_TRUE(form->close());
    EXPECT_FALSE(form->Channel.IsOpen());
}

// An object whose event handling throws, as a faulty handler would.
class Thrower : public QObject {
protected:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User) throw std::runtime_error("handler failed");
        return QObject::event(e);
    }
};

TEST_F(WindowTest, ExceptionsEscapingEventHandlingAreShownAndTheProgramGoesOn) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    CreateWindow();
    // Through the application object's event delivery.
    Thrower thrower;
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::processEvents();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "handler failed");
    EXPECT_EQ(boxes.shown[0].caption, "Tavrol");
    EXPECT_EQ(boxes.shown[0].flags, app::MB_OK | app::MB_ICONERROR);

    // Through a handler: a port item whose number cannot be read.
    form->ComboBoxComPorts->addItem("COMx");
    form->ComboBoxComPorts->setCurrentIndex(form->ComboBoxComPorts->count() - 1);
    form->ButtonConnect->click();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[1].text, "'x' is not a valid integer value");
    EXPECT_EQ(boxes.shown[1].flags, app::MB_OK | app::MB_ICONERROR);
    EXPECT_FALSE(form->Busy());

    // The window goes on working.
    ASSERT_NO_FATAL_FAILURE(ConnectAt(115200));
}

}  // namespace
}  // namespace tavrol::apptest
