// The main window: the port and identity controls, the two settings pages and
// the one configuration channel to the adapter.
#pragma once

#include <QList>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <vector>

#include "FilterGrid.h"
#include "WindowChannel.h"
#include "port_catalog.h"

class QCheckBox;
class QCloseEvent;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QStatusBar;
class PageControl;
class PortWatcher;

class TMainForm : public QWidget {
    Q_OBJECT

public:
    // `sources`: where the port list looks for ports (tests give their own).
    explicit TMainForm(QWidget* owner = nullptr, tavrol::PortSources sources = tavrol::DefaultPortSources());
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
    // The port list of this run: what the items name, and what a COM number
    // opens at the moment of opening. The channel resolves through it, so it
    // is built before the channel and outlives it.
    tavrol::PortCatalog Ports;

    // The configuration channel. Declared after the controls' creation, so it
    // is built after them and destroyed before the window's children go:
    // destroying it closes the port.
    WindowChannel Channel;

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
    // box and the program goes on. Input that arrives while a handler waits
    // for the adapter or for a message box is dropped; a handler started by
    // what the running one does (a check box it sets) runs at once.
    void Dispatch(const std::function<void()>& handler);

    // True while a handler runs (tests look at it).
    bool Busy() const { return activity_ != Activity::Idle; }
    // True while a handler waits for the adapter (the wait cursor shows).
    bool Waiting() const { return activity_ == Activity::Waiting; }

    // Tests only: the time-out of every register transaction (1000 ms).
    static void SetTransactionTimeoutForTesting(std::uint32_t ms);
    static std::uint32_t TransactionTimeout();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Activity {
        Idle,     // no handler runs
        Running,  // a handler's own code runs
        Waiting,  // a handler waits for the adapter or a message box
    };
    // Sets the activity for a scope and puts the previous one back.
    class ActivityScope;

    // Channel operations. Each runs on a worker thread while the window keeps
    // painting; input meanwhile is dropped. Once the window is closing no
    // transaction starts: each fails at once.
    int OpenChannel(int port, int baud);
    void CloseChannel();
    int ReadRegister(std::uint32_t id, void* buffer, std::uint32_t* length);
    int WriteRegister(std::uint32_t id, const void* value, std::uint32_t length);
    void RunBlocking(const std::function<void()>& work);
    void RunHandler(const std::function<void()>& handler);
    void AfterHandler();

    // A modal box; none is shown once the window is closing.
    int Message(const QString& text, unsigned flags, const QString& caption = QStringLiteral("Tavrol"),
                const QString& details = QString());
    void ReportWriteResult(int result);
    // Why the last Open failed, for the second paragraph of its box.
    QString OpenFailureDetails(int port) const;
    // The disconnect steps: port closed, caption, tabs, rate list, look.
    void ShowDisconnected();
    void ShowPages();
    void WriteFilterRow(int row, std::uint32_t identifier, std::uint32_t mask, bool enabled, bool extended);

    // One identification attempt on the open port: the low identifier
    // register, its piece shown, then the high one and its piece.
    enum class Identified { Nothing, FirstPiece, Whole };
    Identified IdentifyAdapter();

    // The port list following the system, and the window following a port
    // that hung up.
    void WatchPorts();
    struct PortItem {
        QString text;     // "COM<n>"
        QString tooltip;  // the device behind it
        bool operator==(const PortItem&) const = default;
    };
    std::vector<int> EnumeratePorts();
    QList<PortItem> PortItemsFor(const std::vector<int>& numbers) const;
    QList<PortItem> ShownPortItems() const;
    void FillPortList(const QList<PortItem>& items);
    int SelectedPort() const;
    bool PortListCanChange() const;
    void FollowPortList();
    Q_INVOKABLE void NoticePortLost();
    void FollowLostPort();

    void ShowWaitCursor(bool on);

    Activity activity_ = Activity::Idle;
    bool waitCursor_ = false;
    bool quitting_ = false;      // the window is closing; the running handler ends early
    bool listOutdated_ = false;  // the system's ports changed while the list could not follow
    int pickedPort_ = 0;         // the COM number the user picked; 0 = none
    bool fillingList_ = false;   // the list is being rebuilt, not picked from
    PortWatcher* portWatcher_ = nullptr;
    QWidget* portPopup_ = nullptr;  // the port list's drop-down
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
