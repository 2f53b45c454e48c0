#include "MainFrm.h"

#include <QAbstractEventDispatcher>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>

#include "Application.h"
#include "MessageBoxes.h"
#include "PageControl.h"
#include "can_message.h"
#include "registers.h"

using namespace tavrol;
using namespace tavrol::app;

TMainForm* MainForm = nullptr;

namespace {

std::atomic<std::uint32_t> transactionTimeoutMs{1000};

// Counts a scope in or out, also when it is left by an exception.
class ScopeCount {
public:
    explicit ScopeCount(int& counter) : counter_(counter) { ++counter_; }
    ~ScopeCount() { --counter_; }
    ScopeCount(const ScopeCount&) = delete;
    ScopeCount& operator=(const ScopeCount&) = delete;

private:
    int& counter_;
};

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
// Construction and shut-down

TMainForm::TMainForm(QWidget* owner, PortSources ports)
    : QWidget(owner), designLoaded_(LoadDesign()), Ports(std::move(ports)), Channel(CreateSystemSerialPort(), &Ports) {
    ButtonRefreshClick(nullptr);
    pgc1->setTabVisible(pgc1->indexOf(TabSheetCAN), false);
    pgc1->setTabVisible(pgc1->indexOf(TabSheetUSART), false);
    MainForm = this;
}

// The channel member goes first (closing the port, ending the reader), then
// the base class destroys the controls.
TMainForm::~TMainForm() {
    if (MainForm == this) MainForm = nullptr;
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (depth_ > 0) {
        // A handler is still talking to the adapter: close once it is done.
        closeRequested_ = true;
        event->ignore();
        return;
    }
    Channel.Close();
    event->accept();
}

void TMainForm::SetTransactionTimeoutForTesting(std::uint32_t ms) { transactionTimeoutMs = ms; }

std::uint32_t TMainForm::TransactionTimeout() { return transactionTimeoutMs; }

// ---------------------------------------------------------------------------
// Handler dispatch and channel operations

void TMainForm::Dispatch(const std::function<void()>& handler) {
    if (pumping_ > 0) {
        // Events delivered while a handler waits must not start another one.
        deferred_.push_back(handler);
        return;
    }
    {
        ScopeCount running(depth_);
        try {
            handler();
        } catch (...) {
            ScopeCount box(pumping_);
            ShowCurrentException();
        }
    }
    if (depth_ > 0) return;
    if (closeRequested_) {
        closeRequested_ = false;
        deferred_.clear();
        close();
        return;
    }
    if (!deferred_.empty()) {
        std::vector<std::function<void()>> pending;
        pending.swap(deferred_);
        for (auto& next : pending)
            QMetaObject::invokeMethod(this, [this, next] { Dispatch(next); }, Qt::QueuedConnection);
    }
}

void TMainForm::RunBlocking(const std::function<void()>& work) {
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
    {
        // Paint and timer events go on; user input stays queued until the
        // work is done.
        ScopeCount pumping(pumping_);
        while (!done.load(std::memory_order_acquire)) {
            if (dispatcher != nullptr)
                QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    worker.join();
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
    int result = CFG_FAIL;
    const std::uint32_t timeout = TransactionTimeout();
    RunBlocking([&] { result = Channel.ReadRegister(id, buffer, length, timeout); });
    return result;
}

int TMainForm::WriteRegister(std::uint32_t id, const void* value, std::uint32_t length) {
    int result = CFG_FAIL;
    const std::uint32_t timeout = TransactionTimeout();
    RunBlocking([&] { result = Channel.WriteRegister(id, value, &length, timeout); });
    return result;
}

int TMainForm::Message(const QString& text, unsigned flags, const QString& caption) {
    ScopeCount box(pumping_);
    return MessageBoxes().Show(this, text, caption, flags);
}

void TMainForm::ReportWriteResult(int result) {
    if (result != CFG_OK) Message(Text(kWriteFailed), MB_OK | MB_ICONERROR);
}

// ---------------------------------------------------------------------------
// Port list and looks

void TMainForm::ButtonRefreshClick(QObject*) {
    const int n = Ports.EnumerateSerialPorts(nullptr, 0);
    std::vector<int> numbers(static_cast<std::size_t>(std::max(n, 0)), 0);
    int listed = 0;
    if (n > 0) {
        // A port that went away between the two passes leaves no item.
        listed = std::min(n, Ports.EnumerateSerialPorts(numbers.data(), n));
    }
    ComboBoxComPorts->clear();
    for (int k = 0; k < listed; ++k) {
        ComboBoxComPorts->addItem(QStringLiteral("COM") + QString::number(numbers[static_cast<std::size_t>(k)]));
        const std::optional<PortEntry> entry = Ports.Find(numbers[static_cast<std::size_t>(k)]);
        ComboBoxComPorts->setItemData(k, entry ? QString::fromStdString(entry->device) : QString(), Qt::ToolTipRole);
    }
    ComboBoxComPorts->setCurrentIndex(-1);
}

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

void TMainForm::ButtonConnectClick(QObject*) {
    if (Channel.IsOpen()) {
        ShowDisconnected();
        return;
    }
    const int item = ComboBoxComPorts->currentIndex();
    if (item < 0) return;
    const int port = StrToInt(ComboBoxComPorts->itemText(item).mid(3));

    std::uint8_t id[8] = {};
    std::uint32_t length = 8;
    auto showFirstPiece = [&] {
        LabelCPUID->setText(CpuIdFirstPiece(id));
        LabelCPUID->adjustSize();
        InputUSARTBaud->setEnabled(false);
        SetConnectedState(1);
    };
    auto appendSecondPiece = [&] {
        LabelCPUID->setText(LabelCPUID->text() + CpuIdSecondPiece(id));
        LabelCPUID->adjustSize();
        InputUSARTBaud->setEnabled(false);
        SetConnectedState(1);
    };

    if (InputUSARTBaud->currentIndex() >= 0) {
        const int baud = StrToInt(InputUSARTBaud->currentText());
        if (OpenChannel(port, baud) == 0) {
            Message(Text(kOpenFailed), MB_OK | MB_ICONERROR);
            return;
        }
        length = 8;
        if (ReadRegister(REG_CPUID_LO, id, &length) != CFG_OK) {
            // No adapter answers here: leave nothing open behind.
            ShowDisconnected();
            Message(Text(kNoIdentifier), MB_OK | MB_ICONERROR);
            return;
        }
        showFirstPiece();
        if (ReadRegister(REG_CPUID_HI, id, &length) != CFG_OK) {
            ShowDisconnected();
            Message(Text(kNoIdentifier), MB_OK | MB_ICONERROR);
            return;
        }
        appendSecondPiece();
    } else {
        // Try every rate in list order, one attempt each.
        int found = 0;
        bool success = false;
        const int count = InputUSARTBaud->count();
        for (int i = 0; i < count; ++i) {
            const int baud = StrToInt(InputUSARTBaud->itemText(i));
            RzStatusBar1->showMessage(Text("正在尝试波特率 %1 …").arg(baud));
            if (OpenChannel(port, baud) == 0) {
                RzStatusBar1->clearMessage();
                ShowDisconnected();
                Message(Text(kOpenFailed), MB_OK | MB_ICONERROR);
                return;
            }
            length = 8;
            if (ReadRegister(REG_CPUID_LO, id, &length) == CFG_OK) {
                showFirstPiece();
                success = true;
                if (ReadRegister(REG_CPUID_HI, id, &length) == CFG_OK) {
                    appendSecondPiece();
                    success = true;
                    found = i;
                    break;
                }
                CloseChannel();
                success = false;
            } else {
                success = false;
                CloseChannel();
            }
            if (closeRequested_) break;
        }
        RzStatusBar1->clearMessage();
        if (!success) {
            ShowDisconnected();
            if (!closeRequested_) Message(Text(kNoIdentifier), MB_OK | MB_ICONERROR);
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
        if (closeRequested_) return;
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
    if (closeRequested_) return;

    // Setting a box to another state runs its click handler, which writes
    // the state back.
    std::uint8_t flag = 0;
    std::uint32_t length = 1;
    if (ReadRegister(REG_ABOM, &flag, &length) == CFG_OK) CheckBoxABOM->setChecked(flag != 0);
    if (closeRequested_) return;
    length = 1;
    if (ReadRegister(REG_ART, &flag, &length) == CFG_OK) CheckBoxART->setChecked(flag != 0);
    if (closeRequested_) return;

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

// ---------------------------------------------------------------------------
// Acceptance-filter table

namespace {

bool IsEmptyCell(const QVariant& value) { return !value.isValid() || value.toString().isEmpty(); }

QString CellText(const QVariant& value) { return value.isValid() ? value.toString() : QString(); }

}  // namespace

void TMainForm::WriteFilterRow(int row, std::uint32_t identifier, std::uint32_t mask, bool enabled, bool extended) {
    const auto value = EncodeFilter(identifier, mask, enabled, extended);
    ReportWriteResult(WriteRegister(REG_FILTER_0 + static_cast<std::uint32_t>(row), value.data(), 8));
}

void TMainForm::cxGrid1BandedTableView1ColumnEnablePropertiesChange(CheckCellEditor* Sender) {
    FilterTableView* view = cxGrid1BandedTableView1;
    const int row = view->FocusedRow();
    if (Sender->Tag != 0) {
        // The change raised by our own revert below.
        Sender->Tag = 0;
        return;
    }
    if (row < 0) return;
    const bool checked = Sender->Checked();

    std::uint32_t identifier = 0;
    const QVariant idCell = view->Value(row, cxGrid1BandedTableView1ColumnID);
    if (IsEmptyCell(idCell)) {
        if (checked) {
            Message(Text("ID不能为空！"), MB_OK | MB_ICONINFORMATION);
            Sender->Tag = 1;
            Sender->SetChecked(false);
            return;
        }
    } else {
        identifier = HexTextToNumber(idCell.toString());
    }

    std::uint32_t mask = 0;
    const QVariant maskCell = view->Value(row, cxGrid1BandedTableView1ColumnMask);
    if (IsEmptyCell(maskCell)) {
        if (checked) {
            Message(Text("MASK不能为空！"), MB_OK | MB_ICONINFORMATION);
            Sender->Tag = 1;
            Sender->SetChecked(false);
            return;
        }
    } else {
        mask = HexTextToNumber(maskCell.toString());
    }

    const bool extended = CellText(view->Value(row, cxGrid1BandedTableView1ColumnFormat)) == Text(kExtended);
    WriteFilterRow(row, identifier, mask, checked, extended);
}

void TMainForm::cxGrid1BandedTableView1ColumnIDPropertiesButtonClick(QObject*, int) {
    FilterTableView* view = cxGrid1BandedTableView1;
    const int row = view->FocusedRow();
    if (row < 0) return;
    // The cells take what the user has just typed or picked; the editor then
    // closes so that it cannot write its text back over what follows.
    view->PostEditValue();
    view->CancelEdit();

    const QVariant enableCell = view->Value(row, cxGrid1BandedTableView1ColumnEnable);
    const bool enabled = enableCell.isValid() && enableCell.toInt() != 0;
    const QString format = CellText(view->Value(row, cxGrid1BandedTableView1ColumnFormat));
    const QString idText = CellText(view->Value(row, cxGrid1BandedTableView1ColumnID));
    const QString maskText = CellText(view->Value(row, cxGrid1BandedTableView1ColumnMask));

    if (idText.size() > 8 || maskText.size() > 8) {
        Message(Text("数据大小超出范围！"), MB_OK | MB_ICONINFORMATION);
        return;
    }
    std::uint32_t identifier = 0;
    if (idText.isEmpty()) {
        if (enabled) {
            Message(Text("ID不能为空！"), MB_OK | MB_ICONINFORMATION);
            return;
        }
    } else {
        identifier = HexTextToNumber(idText);
    }
    std::uint32_t mask = 0;
    if (maskText.isEmpty()) {
        if (enabled) {
            Message(Text("MASK不能为空！"), MB_OK | MB_ICONINFORMATION);
            return;
        }
    } else {
        mask = HexTextToNumber(maskText);
    }

    // The cell shows the identifier that is sent.
    identifier &= kExtendedIdMask;
    const bool extended = format == Text(kExtended);
    view->SetValue(row, cxGrid1BandedTableView1ColumnID, FilterCellText(identifier, extended));
    view->SetValue(row, cxGrid1BandedTableView1ColumnMask, FilterCellText(mask, extended));
    WriteFilterRow(row, identifier, mask, enabled, extended);
}

void TMainForm::cxGrid1BandedTableView1ColumnFormatPropertiesCloseUp(QObject* Sender) {
    cxGrid1BandedTableView1ColumnIDPropertiesButtonClick(Sender, 0);
}

void TMainForm::cxGrid1BandedTableView1ColumnEnableHeaderClick(FilterColumn*) {
    FilterTableView* view = cxGrid1BandedTableView1;
    FilterColumn* column = cxGrid1BandedTableView1ColumnEnable;
    const int rows = view->RowCount();
    const int value = column->Tag == 0 ? 1 : 0;
    for (int row = 0; row < rows; ++row) view->SetValue(row, column, value);
    column->Tag = value;
}
