#include "MainFrm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>

#include <algorithm>
#include <atomic>

#include "Application.h"
#include "MessageBoxes.h"
#include "PageControl.h"
#include "PortTexts.h"
#include "can_message.h"
#include "registers.h"

using namespace tavrol;
using namespace tavrol::app;

TMainForm* MainForm = nullptr;

namespace {

std::atomic<std::uint32_t> transactionTimeoutMs{1000};

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

const char* const kOpenFailed = "打开串口失败！";
const char* const kNoIdentifier = "无法获取设备序列号，请确认串口号正确以及设备安装正确！";
const char* const kWriteFailed = "配置失败！";
const char* const kExtended = "扩展";
const char* const kStandard = "标准";

}  // namespace

// ---------------------------------------------------------------------------
// Text helpers

QString CpuIdFirstPiece(const std::uint8_t bytes[8]) {
    QString text;
    for (int i = 0; i < 8; ++i) {
        if (i == 2 || i == 4 || i == 6) text += QLatin1Char('-');
        text += QStringLiteral("%1").arg(bytes[i], 2, 16, QLatin1Char('0'));
    }
    return text;
}

QString CpuIdSecondPiece(const std::uint8_t bytes[4]) {
    QString text;
    for (int i = 0; i < 4; ++i) {
        if (i == 0 || i == 2) text += QLatin1Char('-');
        text += QStringLiteral("%1").arg(bytes[i], 2, 16, QLatin1Char('0'));
    }
    return text;
}

QString FilterCellText(std::uint32_t value, bool extended) {
    if (extended) return QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0')).toUpper();
    return QStringLiteral("%1").arg(value & kStandardIdMask, 3, 16, QLatin1Char('0')).toUpper();
}

std::uint32_t HexTextToNumber(const QString& text) {
    auto fail = [&]() -> std::uint32_t {
        throw ConversionError(("'0x" + text + "' is not a valid integer value").toStdString());
    };
    if (text.isEmpty()) return fail();
    int first = 0;
    while (first < text.size() - 1 && text[first] == QLatin1Char('0')) ++first;
    if (text.size() - first > 8) return fail();
    std::uint32_t value = 0;
    for (int i = first; i < text.size(); ++i) {
        const QChar c = text[i];
        std::uint32_t digit;
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) digit = c.unicode() - '0';
        else if (c >= QLatin1Char('A') && c <= QLatin1Char('F')) digit = c.unicode() - 'A' + 10;
        else if (c >= QLatin1Char('a') && c <= QLatin1Char('f')) digit = c.unicode() - 'a' + 10;
        else return fail();
        value = value << 4 | digit;
    }
    return value;
}

int StrToInt(const QString& text) {
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok) throw ConversionError(("'" + text + "' is not a valid integer value").toStdString());
    return value;
}

// ---------------------------------------------------------------------------
// Construction

TMainForm::TMainForm(QWidget* owner, PortSources sources)
    : QWidget(owner), designLoaded_(LoadDesign()), Ports(std::move(sources)), Channel(&Ports) {
    // The hang-up is noticed on the reader thread; the window follows it on
    // its own thread. The call is queued by name, so the reader hands over
    // no object of its own making.
    Channel.SetPortLostNotice([this] { QMetaObject::invokeMethod(this, "NoticePortLost", Qt::QueuedConnection); });
    ButtonRefreshClick(nullptr);
    pgc1->setTabVisible(pgc1->indexOf(TabSheetCAN), false);
    pgc1->setTabVisible(pgc1->indexOf(TabSheetUSART), false);
    WatchPorts();
    // Sees input while a handler waits, to drop it.
    if (QCoreApplication::instance() != nullptr) QCoreApplication::instance()->installEventFilter(this);
    MainForm = this;
}

// The channel member goes first (closing the port, ending the reader), then
// the base class destroys the controls.
TMainForm::~TMainForm() {
    if (QCoreApplication::instance() != nullptr) QCoreApplication::instance()->removeEventFilter(this);
    ShowWaitCursor(false);
    if (MainForm == this) MainForm = nullptr;
}

void TMainForm::SetTransactionTimeoutForTesting(std::uint32_t ms) { transactionTimeoutMs = ms; }

std::uint32_t TMainForm::TransactionTimeout() { return transactionTimeoutMs; }

// ---------------------------------------------------------------------------
// Looks

void TMainForm::SetConnectedState(int flag) {
    const bool connected = flag != 0;
    Label3->setEnabled(connected);
    LabelCPUID->setEnabled(connected);
    ComboBoxComPorts->setEnabled(!connected);
    Label1->setEnabled(!connected);
    Label2->setEnabled(!connected);
    ButtonRefresh->setEnabled(!connected);
}

void TMainForm::ShowDisconnected() {
    CloseChannel();
    ButtonConnect->setText(Text("打开串口"));
    pgc1->setTabVisible(pgc1->indexOf(TabSheetCAN), false);
    pgc1->setTabVisible(pgc1->indexOf(TabSheetUSART), false);
    InputUSARTBaud->setEnabled(true);
    SetConnectedState(0);
    LabelCPUID->setText(QString());
    LabelCPUID->adjustSize();
}

void TMainForm::ShowPages() {
    pgc1->setTabVisible(pgc1->indexOf(TabSheetCAN), true);
    pgc1->setTabVisible(pgc1->indexOf(TabSheetUSART), true);
    pgc1->setCurrentWidget(TabSheetCAN);
}

// ---------------------------------------------------------------------------
// Connection

TMainForm::Identified TMainForm::IdentifyAdapter() {
    std::uint8_t id[8] = {};
    std::uint32_t length = 8;
    if (ReadRegister(REG_CPUID_LO, id, &length) != CFG_OK) return Identified::Nothing;
    LabelCPUID->setText(CpuIdFirstPiece(id));
    LabelCPUID->adjustSize();
    InputUSARTBaud->setEnabled(false);
    SetConnectedState(1);
    if (ReadRegister(REG_CPUID_HI, id, &length) != CFG_OK) return Identified::FirstPiece;
    LabelCPUID->setText(LabelCPUID->text() + CpuIdSecondPiece(id));
    LabelCPUID->adjustSize();
    InputUSARTBaud->setEnabled(false);
    SetConnectedState(1);
    return Identified::Whole;
}

QString TMainForm::OpenFailureDetails(int port) const {
    const std::string device = Channel.DevicePath();
    return OpenFailureReason(Channel.LastError(),
                             device.empty() ? QStringLiteral("COM%1").arg(port) : QString::fromStdString(device));
}

void TMainForm::ButtonConnectClick(QObject*) {
    if (Channel.IsOpen()) {
        ShowDisconnected();
        return;
    }
    const int item = ComboBoxComPorts->currentIndex();
    if (item < 0) return;
    const int port = StrToInt(ComboBoxComPorts->itemText(item).mid(3));

    if (InputUSARTBaud->currentIndex() >= 0) {
        const int baud = StrToInt(InputUSARTBaud->currentText());
        if (OpenChannel(port, baud) == 0) {
            Message(Text(kOpenFailed), MB_OK | MB_ICONERROR, QStringLiteral("Tavrol"), OpenFailureDetails(port));
            return;
        }
        if (IdentifyAdapter() != Identified::Whole) {
            // No adapter answers here: leave nothing open behind.
            ShowDisconnected();
            Message(Text(kNoIdentifier), MB_OK | MB_ICONERROR);
            return;
        }
    } else {
        // Try every rate in list order, one attempt each; a window that is
        // closing stops after the attempt in progress.
        int found = 0;
        bool success = false;
        const int count = InputUSARTBaud->count();
        for (int i = 0; i < count && !success && !quitting_; ++i) {
            const int baud = StrToInt(InputUSARTBaud->itemText(i));
            RzStatusBar1->showMessage(Text("正在尝试波特率 %1 …").arg(baud));
            if (OpenChannel(port, baud) == 0) {
                const QString details = OpenFailureDetails(port);
                RzStatusBar1->clearMessage();
                ShowDisconnected();
                Message(Text(kOpenFailed), MB_OK | MB_ICONERROR, QStringLiteral("Tavrol"), details);
                return;
            }
            success = IdentifyAdapter() == Identified::Whole;
            if (success) found = i;
            else CloseChannel();
        }
        RzStatusBar1->clearMessage();
        if (!success) {
            ShowDisconnected();
            Message(Text(kNoIdentifier), MB_OK | MB_ICONERROR);
            return;
        }
        InputUSARTBaud->setCurrentIndex(found);
    }

    LoadDeviceSettings();
    ShowPages();
    ButtonConnect->setText(Text("关闭串口"));
}

// ---------------------------------------------------------------------------
// Loading the settings

void TMainForm::LoadDeviceSettings() {
    FilterTableView* view = cxGrid1BandedTableView1;
    view->SetRowCount(kFilterCount);
    for (int n = 0; n < kFilterCount; ++n) {
        view->SetValue(n, cxGrid1BandedTableView1ColumnIndex, n + 1);
        view->SetValue(n, cxGrid1BandedTableView1ColumnEnable, 0);
        std::uint8_t value[8] = {};
        std::uint32_t length = 8;
        if (ReadRegister(REG_FILTER_0 + static_cast<std::uint32_t>(n), value, &length) != CFG_OK) continue;
        const FilterSetting filter = DecodeFilter(value);
        view->SetValue(n, cxGrid1BandedTableView1ColumnID, FilterCellText(filter.identifier, filter.extended));
        view->SetValue(n, cxGrid1BandedTableView1ColumnMask, FilterCellText(filter.mask, filter.extended));
        view->SetValue(n, cxGrid1BandedTableView1ColumnEnable, filter.enabled ? 1 : 0);
        view->SetValue(n, cxGrid1BandedTableView1ColumnFormat, Text(filter.extended ? kExtended : kStandard));
    }

    // Setting a box to another state runs its click handler, which writes
    // the state back.
    std::uint8_t flag = 0;
    std::uint32_t length = 1;
    if (ReadRegister(REG_ABOM, &flag, &length) == CFG_OK) CheckBoxABOM->setChecked(flag != 0);
    length = 1;
    if (ReadRegister(REG_ART, &flag, &length) == CFG_OK) CheckBoxART->setChecked(flag != 0);

    std::uint8_t rate[4] = {};
    length = 4;
    if (ReadRegister(REG_CAN_BAUD, rate, &length) == CFG_OK) {
        const std::uint32_t value = LoadLE32(rate);
        EditCANBaudRate->setValue(static_cast<int>(std::min<std::uint32_t>(value, 0x7FFFFFFF)));
        EditCANBaudRate->update();
    }
    CBUSARTBaud->setCurrentIndex(InputUSARTBaud->currentIndex());
}

// ---------------------------------------------------------------------------
// Device settings

void TMainForm::ReportWriteResult(int result) {
    if (result != CFG_OK) Message(Text(kWriteFailed), MB_OK | MB_ICONERROR);
}

void TMainForm::CheckBoxARTClick(QObject*) {
    const std::uint8_t on = CheckBoxART->isChecked() ? 1 : 0;
    ReportWriteResult(WriteRegister(REG_ART, &on, 1));
}

void TMainForm::CheckBoxABOMClick(QObject*) {
    const std::uint8_t on = CheckBoxABOM->isChecked() ? 1 : 0;
    ReportWriteResult(WriteRegister(REG_ABOM, &on, 1));
}

void TMainForm::ButtonSetCANBaudRateClick(QObject*) {
    std::uint8_t rate[4];
    StoreLE32(rate, static_cast<std::uint32_t>(EditCANBaudRate->value()));
    ReportWriteResult(WriteRegister(REG_CAN_BAUD, rate, 4));
}

void TMainForm::RzButton1Click(QObject*) {
    const int answer = Message(Text("恢复出厂设置将覆盖掉您的配置，确定要这样做吗？\n选择“是”恢复出厂设置\n选择“否”取消"),
                               MB_YESNO | MB_ICONQUESTION, Text("恢复出厂设置"));
    if (answer != IDYES) return;
    std::uint8_t one[4];
    StoreLE32(one, 1);
    ReportWriteResult(WriteRegister(REG_FACTORY_RESET, one, 4));
    // Show what the adapter holds now, whether the reset went through or not.
    LoadDeviceSettings();
}

void TMainForm::btn1Click(QObject*) {
    const int index = CBUSARTBaud->currentIndex();
    if (index < 0) return;
    std::uint8_t rate[4];
    StoreLE32(rate, static_cast<std::uint32_t>(StrToInt(CBUSARTBaud->itemText(index))));
    ReportWriteResult(WriteRegister(REG_USART_BAUD, rate, 4));
    Message(Text("请拔掉模块，然后重新插上！"), MB_OK | MB_ICONINFORMATION);
    ShowDisconnected();
    // The next connection, after the adapter is plugged in again, uses the
    // rate just written.
    InputUSARTBaud->setCurrentIndex(index);
}

