// The main window: the port and identity controls, the two settings pages and
// the one configuration channel to the adapter.
#pragma once

#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <vector>

#include "FilterGrid.h"
#include "rt_can.h"

class QCheckBox;
class QCloseEvent;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QStatusBar;
class PageControl;

class TMainForm : public QWidget {
    Q_OBJECT

public:
    // `ports`: where the port list comes from (tests give private places).
    explicit TMainForm(QWidget* owner = nullptr, tavrol::PortSources ports = tavrol::DefaultPortSources());
    ~TMainForm() override;

    // The controls, created from the design data (MainFrmDesign.cpp) and
    // owned by the window as its children.
    QGroupBox* GroupBox1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* LabelCPUID = nullptr;
    QLabel* Label2 = nullptr;
    QComboBox* ComboBoxComPorts = nullptr;
    QPushButton* ButtonConnect = nullptr;
    QPushButton* ButtonRefresh = nullptr;
    QComboBox* InputUSARTBaud = nullptr;
    PageControl* pgc1 = nullptr;
    QWidget* TabSheetCAN = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label8 = nullptr;
    QCheckBox* CheckBoxART = nullptr;
    QCheckBox* CheckBoxABOM = nullptr;
    QPushButton* ButtonSetCANBaudRate = nullptr;
    FilterGrid* cxGrid1 = nullptr;
    FilterTableView* cxGrid1BandedTableView1 = nullptr;
    FilterColumn* cxGrid1BandedTableView1ColumnIndex = nullptr;
    FilterColumn* cxGrid1BandedTableView1ColumnEnable = nullptr;
    FilterColumn* cxGrid1BandedTableView1ColumnID = nullptr;
    FilterColumn* cxGrid1BandedTableView1ColumnMask = nullptr;
    FilterColumn* cxGrid1BandedTableView1ColumnFormat = nullptr;
    FilterGridLevel* cxGrid1Level1 = nullptr;
    QPushButton* RzButton1 = nullptr;
    QWidget* TabSheetUSART = nullptr;
    QLabel* lbl1 = nullptr;
    QPushButton* btn1 = nullptr;
    QComboBox* CBUSARTBaud = nullptr;
    QStatusBar* RzStatusBar1 = nullptr;
    QLabel* RzStatusPane1 = nullptr;
    QLabel* RzStatusPane2 = nullptr;
    QSpinBox* EditCANBaudRate = nullptr;

private:
    // Builds the controls above; runs before the channel is constructed.
    bool LoadDesign();
    bool designLoaded_;

public:
    // The port list of this run: COM numbers stay with their devices, and
    // the channel opens what a number names at the moment it connects.
    tavrol::PortCatalog Ports;

    // The configuration channel. Declared after the controls' creation, so it
    // is built after them and destroyed before the window's children go:
    // destroying it closes the port.
    tavrol::RT_CAN Channel;

    void SetConnectedState(int flag);
    void LoadDeviceSettings();

    // Event handlers, bound to the controls' events by the design data.
    void ButtonRefreshClick(QObject* Sender);
    void ButtonConnectClick(QObject* Sender);
    void ButtonSetCANBaudRateClick(QObject* Sender);
    void CheckBoxARTClick(QObject* Sender);
    void CheckBoxABOMClick(QObject* Sender);
    void RzButton1Click(QObject* Sender);
    void btn1Click(QObject* Sender);
    void cxGrid1BandedTableView1ColumnEnablePropertiesChange(CheckCellEditor* Sender);
    void cxGrid1BandedTableView1ColumnIDPropertiesButtonClick(QObject* Sender, int AButtonIndex);
    void cxGrid1BandedTableView1ColumnFormatPropertiesCloseUp(QObject* Sender);
    void cxGrid1BandedTableView1ColumnEnableHeaderClick(FilterColumn* Sender);

    // Runs one event handler: an exception it throws is shown in the error
    // box and the program goes on; a handler that would start while another
    // one waits for the adapter is held back until that one has ended.
    void Dispatch(const std::function<void()>& handler);

    // True while a handler runs (tests look at it).
    bool Busy() const { return depth_ > 0; }

    // Tests only: the time-out of every register transaction (1000 ms).
    static void SetTransactionTimeoutForTesting(std::uint32_t ms);
    static std::uint32_t TransactionTimeout();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Channel operations. Each runs on a worker thread while the window keeps
    // painting; user input waits until it is done.
    int OpenChannel(int port, int baud);
    void CloseChannel();
    int ReadRegister(std::uint32_t id, void* buffer, std::uint32_t* length);
    int WriteRegister(std::uint32_t id, const void* value, std::uint32_t length);
    void RunBlocking(const std::function<void()>& work);

    int Message(const QString& text, unsigned flags, const QString& caption = QStringLiteral("Tavrol"));
    void ReportWriteResult(int result);
    // The disconnect steps: port closed, caption, tabs, rate list, look.
    void ShowDisconnected();
    void ShowPages();
    void WriteFilterRow(int row, std::uint32_t identifier, std::uint32_t mask, bool enabled, bool extended);

    int depth_ = 0;      // handlers running, nested ones included
    int pumping_ = 0;    // > 0 while events are delivered inside a handler
    bool closeRequested_ = false;
    std::vector<std::function<void()>> deferred_;
};

extern TMainForm* MainForm;

// Text of the adapter's identifier, in two pieces: from the 8 bytes of the
// low register and from the 4 bytes of the high one.
QString CpuIdFirstPiece(const std::uint8_t bytes[8]);
QString CpuIdSecondPiece(const std::uint8_t bytes[4]);

// Hexadecimal text of a filter cell: upper case, 8 digits when extended,
// otherwise the low 11 bits in 3 digits.
QString FilterCellText(std::uint32_t value, bool extended);

// Reads identifier or mask text as "0x" followed by it: hexadecimal digits
// only, at most 8 significant. Throws ConversionError otherwise.
std::uint32_t HexTextToNumber(const QString& text);
// Strict decimal conversion; throws ConversionError.
int StrToInt(const QString& text);
