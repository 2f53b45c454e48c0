// The window's design data: every control with its kind, place, caption,
// start state and tab order, the filter table's columns, and which handler
// each control event runs. The layout is set here and nowhere else; the
// handlers change only captions, states and contents.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTabWidget>

#include <map>
#include <string>

#include "AppIcon.h"
#include "MainFrm.h"
#include "PageControl.h"

namespace {

enum class Kind { GroupBox, Label, PickList, Button, PageControl, TabSheet, CheckBox, Grid, SpinEdit, StatusBar,
                  StatusPaneLeft, StatusPaneRight };

struct ControlDesign {
    const char* name;
    Kind kind;
    const char* parent;  // empty: the window itself
    int left, top, width, height;
    const char* caption;
    bool enabled;
    int tabOrder;        // within the parent; -1 = no tab stop
};

// Client area 373 x 403: the group box on top, the pages below it and the
// status bar at the bottom.
constexpr int kClientWidth = 373;
constexpr int kClientHeight = 403;

const ControlDesign kControls[] = {
    {"GroupBox1", Kind::GroupBox, "", 0, 0, 373, 97, "串口配置", true, 0},
    {"Label1", Kind::Label, "GroupBox1", 40, 24, 84, 13, "请选择串口号：", true, -1},
    {"ComboBoxComPorts", Kind::PickList, "GroupBox1", 130, 21, 79, 21, "", true, 0},
    {"ButtonConnect", Kind::Button, "GroupBox1", 287, 19, 75, 46, "打开串口", true, 1},
    {"ButtonRefresh", Kind::Button, "GroupBox1", 215, 19, 58, 25, "刷新列表", true, 2},
    {"Label2", Kind::Label, "GroupBox1", 40, 48, 72, 13, "串口波特率：", true, -1},
    {"InputUSARTBaud", Kind::PickList, "GroupBox1", 130, 43, 79, 22, "", true, 3},
    {"Label3", Kind::Label, "GroupBox1", 40, 72, 64, 13, "设备序列号:", false, -1},
    {"LabelCPUID", Kind::Label, "GroupBox1", 119, 72, 0, 13, "", false, -1},

    {"pgc1", Kind::PageControl, "", 0, 97, 373, 287, "", true, 1},
    {"TabSheetCAN", Kind::TabSheet, "pgc1", 0, 0, 0, 0, "CAN接口配置", true, 0},
    {"Label4", Kind::Label, "TabSheetCAN", 8, 7, 81, 13, "CAN总线波特率", true, -1},
    {"EditCANBaudRate", Kind::SpinEdit, "TabSheetCAN", 111, 3, 94, 21, "", true, 5},
    {"ButtonSetCANBaudRate", Kind::Button, "TabSheetCAN", 217, 1, 75, 25, "配置波特率", true, 2},
    {"RzButton1", Kind::Button, "TabSheetCAN", 298, 1, 59, 48, "恢复\n出厂设置", true, 4},
    {"Label8", Kind::Label, "TabSheetCAN", 8, 34, 84, 13, "接收过滤器配置", true, -1},
    {"CheckBoxART", Kind::CheckBox, "TabSheetCAN", 111, 32, 69, 17, "自动重发", true, 0},
    {"CheckBoxABOM", Kind::CheckBox, "TabSheetCAN", 195, 32, 97, 17, "自动离线管理", true, 1},
    {"cxGrid1", Kind::Grid, "TabSheetCAN", 3, 55, 355, 205, "", true, 3},

    {"TabSheetUSART", Kind::TabSheet, "pgc1", 0, 0, 0, 0, "串口配置", true, 1},
    {"lbl1", Kind::Label, "TabSheetUSART", 38, 34, 60, 13, "串口波特率", true, -1},
    {"CBUSARTBaud", Kind::PickList, "TabSheetUSART", 104, 29, 141, 22, "", true, 1},
    {"btn1", Kind::Button, "TabSheetUSART", 251, 28, 75, 25, "确定", true, 0},

    {"RzStatusBar1", Kind::StatusBar, "", 0, 384, 373, 19, "", true, 2},
    {"RzStatusPane1", Kind::StatusPaneLeft, "RzStatusBar1", 0, 0, 0, 0, "Tavrol", true, -1},
    {"RzStatusPane2", Kind::StatusPaneRight, "RzStatusBar1", 0, 0, 0, 0, "V1.0.0.0", true, -1},
};

// The serial rates of both rate lists, in list order.
const int kSerialRates[] = {300,   600,   1200,  1800,   2400,   4000,   4800,   7200,   9600,   14400,
                            16000, 19200, 28800, 38400,  51200,  56000,  57600,  64000,  76800,  115200,
                            128000, 153600, 230400, 250000, 256000, 460800, 500000, 576000, 921600};

struct ColumnDesign {
    const char* name;
    int index;  // place in the store, which is also the place on screen
    const char* caption;
    int width;
    FilterColumn::EditorKind editor;
    Qt::Alignment alignment;
};

using EK = FilterColumn::EditorKind;
const ColumnDesign kColumns[] = {
    {"cxGrid1BandedTableView1ColumnIndex", 0, "序号", 35, EK::None, Qt::AlignLeft},
    {"cxGrid1BandedTableView1ColumnEnable", 1, "使能", 53, EK::CheckBox, Qt::AlignHCenter},
    {"cxGrid1BandedTableView1ColumnFormat", 2, "格式", 58, EK::ComboBox, Qt::AlignLeft},
    {"cxGrid1BandedTableView1ColumnID", 3, "标识符", 101, EK::ButtonEdit, Qt::AlignHCenter},
    {"cxGrid1BandedTableView1ColumnMask", 4, "掩码", 106, EK::ButtonEdit, Qt::AlignHCenter},
};

const char* const kFilterPattern = "(\\d | [A-F] | [a-f])+";

// Drop-down items of a fixed height.
class ItemHeightDelegate : public QStyledItemDelegate {
public:
    ItemHeightDelegate(int height, QObject* parent) : QStyledItemDelegate(parent), height_(height) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return QSize(QStyledItemDelegate::sizeHint(option, index).width(), height_);
    }

private:
    int height_;
};

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

}  // namespace

bool TMainForm::LoadDesign() {
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("Tavrol for Ondrix"));
    setWindowIcon(AppIcon());
    // Fixed size; system menu and minimize, no maximize.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);

    std::map<std::string, QWidget*> made;
    auto parentOf = [&](const ControlDesign& d) -> QWidget* {
        if (*d.parent == '\0') return this;
        return made.at(d.parent);
    };

    for (const ControlDesign& d : kControls) {
        QWidget* parent = parentOf(d);
        QWidget* w = nullptr;
        const QString caption = Text(d.caption);
        switch (d.kind) {
            case Kind::GroupBox: w = new QGroupBox(caption, parent); break;
            case Kind::Label: {
                auto* label = new QLabel(caption, parent);
                label->setTextFormat(Qt::PlainText);
                w = label;
                break;
            }
            case Kind::PickList: {
                auto* combo = new QComboBox(parent);
                combo->setEditable(false);
                w = combo;
                break;
            }
            case Kind::Button: w = new QPushButton(caption, parent); break;
            case Kind::PageControl: w = new PageControl(parent); break;
            case Kind::TabSheet: {
                auto* page = new QWidget();
                static_cast<QTabWidget*>(parent)->addTab(page, caption);
                w = page;
                break;
            }
            case Kind::CheckBox: w = new QCheckBox(caption, parent); break;
            case Kind::Grid: w = new FilterGrid(parent); break;
            case Kind::SpinEdit: w = new QSpinBox(parent); break;
            case Kind::StatusBar: w = new QStatusBar(parent); break;
            case Kind::StatusPaneLeft:
            case Kind::StatusPaneRight: {
                auto* pane = new QLabel(caption);
                auto* bar = static_cast<QStatusBar*>(parent);
                if (d.kind == Kind::StatusPaneLeft) {
                    bar->addWidget(pane);
                } else {
                    pane->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
                    bar->addPermanentWidget(pane);
                }
                w = pane;
                break;
            }
        }
        w->setObjectName(QString::fromLatin1(d.name));
        if (d.kind != Kind::TabSheet && d.kind != Kind::StatusPaneLeft && d.kind != Kind::StatusPaneRight)
            w->setGeometry(d.left, d.top, d.width, d.height);
        if (d.kind == Kind::Label) {
            // Labels size themselves to their text.
            static_cast<QLabel*>(w)->adjustSize();
            w->move(d.left, d.top);
        }
        w->setEnabled(d.enabled);
        made[d.name] = w;
    }

    auto find = [&](const char* name) { return made.at(name); };
    GroupBox1 = static_cast<QGroupBox*>(find("GroupBox1"));
    Label1 = static_cast<QLabel*>(find("Label1"));
    Label3 = static_cast<QLabel*>(find("Label3"));
    LabelCPUID = static_cast<QLabel*>(find("LabelCPUID"));
    Label2 = static_cast<QLabel*>(find("Label2"));
    ComboBoxComPorts = static_cast<QComboBox*>(find("ComboBoxComPorts"));
    ButtonConnect = static_cast<QPushButton*>(find("ButtonConnect"));
    ButtonRefresh = static_cast<QPushButton*>(find("ButtonRefresh"));
    InputUSARTBaud = static_cast<QComboBox*>(find("InputUSARTBaud"));
    pgc1 = static_cast<PageControl*>(find("pgc1"));
    TabSheetCAN = find("TabSheetCAN");
    Label4 = static_cast<QLabel*>(find("Label4"));
    Label8 = static_cast<QLabel*>(find("Label8"));
    CheckBoxART = static_cast<QCheckBox*>(find("CheckBoxART"));
    CheckBoxABOM = static_cast<QCheckBox*>(find("CheckBoxABOM"));
    ButtonSetCANBaudRate = static_cast<QPushButton*>(find("ButtonSetCANBaudRate"));
    cxGrid1 = static_cast<FilterGrid*>(find("cxGrid1"));
    RzButton1 = static_cast<QPushButton*>(find("RzButton1"));
    TabSheetUSART = find("TabSheetUSART");
    lbl1 = static_cast<QLabel*>(find("lbl1"));
    btn1 = static_cast<QPushButton*>(find("btn1"));
    CBUSARTBaud = static_cast<QComboBox*>(find("CBUSARTBaud"));
    RzStatusBar1 = static_cast<QStatusBar*>(find("RzStatusBar1"));
    RzStatusPane1 = static_cast<QLabel*>(find("RzStatusPane1"));
    RzStatusPane2 = static_cast<QLabel*>(find("RzStatusPane2"));
    EditCANBaudRate = static_cast<QSpinBox*>(find("EditCANBaudRate"));

    // Both rate lists: the same rates in the same order, items 16 high.
    for (QComboBox* list : {InputUSARTBaud, CBUSARTBaud}) {
        for (int rate : kSerialRates) list->addItem(QString::number(rate));
        list->setItemDelegate(new ItemHeightDelegate(16, list));
        list->setMaxVisibleItems(12);
        list->setCurrentIndex(-1);
    }
    ComboBoxComPorts->setCurrentIndex(-1);

    EditCANBaudRate->setButtonSymbols(QAbstractSpinBox::NoButtons);
    EditCANBaudRate->setRange(1, 1000000);
    EditCANBaudRate->setValue(1000000);
    EditCANBaudRate->setKeyboardTracking(true);  // the value follows the typed text at once
    EditCANBaudRate->setGroupSeparatorShown(false);

    pgc1->setCurrentWidget(TabSheetCAN);
    RzStatusBar1->setSizeGripEnabled(false);
    RzStatusBar1->setStyleSheet(QStringLiteral("QStatusBar::item { border: none; }"));

    // The filter table: one level showing one banded view.
    cxGrid1BandedTableView1 = new FilterTableView(cxGrid1);
    cxGrid1BandedTableView1->setObjectName(QStringLiteral("cxGrid1BandedTableView1"));
    cxGrid1BandedTableView1->BandCaption = Text("配置CAN过滤器");
    cxGrid1Level1 = cxGrid1->CreateLevel(cxGrid1BandedTableView1);
    cxGrid1Level1->setObjectName(QStringLiteral("cxGrid1Level1"));
    std::map<std::string, FilterColumn*> columns;
    for (const ColumnDesign& c : kColumns) {
        FilterColumn* column =
            cxGrid1BandedTableView1->CreateColumn(c.index, Text(c.caption), c.width, c.editor, c.alignment);
        column->setObjectName(QString::fromLatin1(c.name));
        columns[c.name] = column;
    }
    cxGrid1BandedTableView1ColumnIndex = columns.at("cxGrid1BandedTableView1ColumnIndex");
    cxGrid1BandedTableView1ColumnEnable = columns.at("cxGrid1BandedTableView1ColumnEnable");
    cxGrid1BandedTableView1ColumnID = columns.at("cxGrid1BandedTableView1ColumnID");
    cxGrid1BandedTableView1ColumnMask = columns.at("cxGrid1BandedTableView1ColumnMask");
    cxGrid1BandedTableView1ColumnFormat = columns.at("cxGrid1BandedTableView1ColumnFormat");
    cxGrid1BandedTableView1ColumnIndex->Resizable = false;
    cxGrid1BandedTableView1ColumnIndex->MinWidth = 35;
    cxGrid1BandedTableView1ColumnFormat->Items = {Text("标准"), Text("扩展")};
    cxGrid1BandedTableView1ColumnID->ButtonCaption = Text(" 确定");
    cxGrid1BandedTableView1ColumnID->InputPattern = QString::fromLatin1(kFilterPattern);
    cxGrid1BandedTableView1ColumnID->AutoSelect = false;
    cxGrid1BandedTableView1ColumnMask->ButtonCaption = Text("确定");
    cxGrid1BandedTableView1ColumnMask->InputPattern = QString::fromLatin1(kFilterPattern);
    cxGrid1BandedTableView1ColumnMask->AutoSelect = true;

    // Tab order: the group box, the pages (each page's controls in their
    // order), the status bar, which takes no focus.
    std::multimap<std::pair<int, int>, QWidget*> chain;
    auto regionOf = [&](const ControlDesign& d) {
        const std::string parent = d.parent;
        if (parent == "GroupBox1") return 0;
        if (parent == "TabSheetCAN") return 2;
        if (parent == "TabSheetUSART") return 3;
        if (std::string(d.name) == "pgc1") return 1;
        return 4;
    };
    for (const ControlDesign& d : kControls) {
        if (d.tabOrder < 0 || d.kind == Kind::GroupBox || d.kind == Kind::TabSheet || d.kind == Kind::StatusBar)
            continue;
        QWidget* w = made.at(d.name);
        if (d.kind == Kind::Grid) w = cxGrid1BandedTableView1;
        chain.emplace(std::make_pair(regionOf(d), d.tabOrder), w);
    }
    QWidget* previous = nullptr;
    for (const auto& [key, widget] : chain) {
        if (previous != nullptr) QWidget::setTabOrder(previous, widget);
        previous = widget;
    }
    RzStatusBar1->setFocusPolicy(Qt::NoFocus);

    // Event bindings.
    auto click = [this](QPushButton* button, void (TMainForm::*handler)(QObject*)) {
        connect(button, &QPushButton::clicked, this,
                [this, button, handler] { Dispatch([this, button, handler] { (this->*handler)(button); }); });
    };
    click(ButtonConnect, &TMainForm::ButtonConnectClick);
    click(ButtonRefresh, &TMainForm::ButtonRefreshClick);
    click(ButtonSetCANBaudRate, &TMainForm::ButtonSetCANBaudRateClick);
    click(RzButton1, &TMainForm::RzButton1Click);
    click(btn1, &TMainForm::btn1Click);
    // A check box's click event also fires when the program changes its state.
    auto toggle = [this](QCheckBox* box, void (TMainForm::*handler)(QObject*)) {
        connect(box, &QCheckBox::toggled, this,
                [this, box, handler] { Dispatch([this, box, handler] { (this->*handler)(box); }); });
    };
    toggle(CheckBoxART, &TMainForm::CheckBoxARTClick);
    toggle(CheckBoxABOM, &TMainForm::CheckBoxABOMClick);

    connect(cxGrid1BandedTableView1->CheckBoxEditor(), &CheckCellEditor::PropertiesChange, this,
            [this](CheckCellEditor* editor) {
                Dispatch([this, editor] { cxGrid1BandedTableView1ColumnEnablePropertiesChange(editor); });
            });
    connect(cxGrid1BandedTableView1, &FilterTableView::ColumnHeaderClick, this,
            [this](FilterColumn* column) {
                if (column != cxGrid1BandedTableView1ColumnEnable) return;
                Dispatch([this, column] { cxGrid1BandedTableView1ColumnEnableHeaderClick(column); });
            });
    connect(cxGrid1BandedTableView1, &FilterTableView::ColumnButtonClick, this,
            [this](FilterColumn* column, int button) {
                // The identifier and the mask column share one handler.
                if (column != cxGrid1BandedTableView1ColumnID && column != cxGrid1BandedTableView1ColumnMask) return;
                Dispatch([this, column, button] { cxGrid1BandedTableView1ColumnIDPropertiesButtonClick(column, button); });
            });
    connect(cxGrid1BandedTableView1, &FilterTableView::ColumnCloseUp, this,
            [this](FilterColumn* column) {
                if (column != cxGrid1BandedTableView1ColumnFormat) return;
                Dispatch([this, column] { cxGrid1BandedTableView1ColumnFormatPropertiesCloseUp(column); });
            });
    return true;
}
