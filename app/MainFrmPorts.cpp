// The port list: the refresh, the list following the system's ports while
// the window is disconnected, and the window following a port that hung up.
#include <QAbstractItemView>
#include <QComboBox>

#include <algorithm>
#include <optional>

#include "MainFrm.h"
#include "MessageBoxes.h"
#include "PortTexts.h"
#include "PortWatcher.h"

using namespace tavrol;
using namespace tavrol::app;

std::vector<int> TMainForm::EnumeratePorts() {
    const int n = Ports.EnumerateSerialPorts(nullptr, 0);
    std::vector<int> numbers(static_cast<std::size_t>(std::max(n, 0)), 0);
    int listed = 0;
    if (n > 0) {
        // A port that went away between the two passes leaves no item.
        listed = std::min(n, Ports.EnumerateSerialPorts(numbers.data(), n));
    }
    numbers.resize(static_cast<std::size_t>(std::max(listed, 0)));
    return numbers;
}

QList<TMainForm::PortItem> TMainForm::PortItemsFor(const std::vector<int>& numbers) const {
    QList<PortItem> items;
    for (int number : numbers) {
        const std::optional<PortEntry> entry = Ports.Find(number);
        items.append({QStringLiteral("COM") + QString::number(number), entry ? PortTooltip(*entry) : QString()});
    }
    return items;
}

QList<TMainForm::PortItem> TMainForm::ShownPortItems() const {
    QList<PortItem> items;
    for (int item = 0; item < ComboBoxComPorts->count(); ++item)
        items.append({ComboBoxComPorts->itemText(item), ComboBoxComPorts->itemData(item, Qt::ToolTipRole).toString()});
    return items;
}

void TMainForm::FillPortList(const QList<PortItem>& items) {
    fillingList_ = true;
    ComboBoxComPorts->clear();
    for (const PortItem& item : items) {
        ComboBoxComPorts->addItem(item.text);
        ComboBoxComPorts->setItemData(ComboBoxComPorts->count() - 1, item.tooltip, Qt::ToolTipRole);
    }
    ComboBoxComPorts->setCurrentIndex(-1);
    fillingList_ = false;
}

void TMainForm::ButtonRefreshClick(QObject*) {
    FillPortList(PortItemsFor(EnumeratePorts()));
    pickedPort_ = 0;
    listOutdated_ = false;
}

int TMainForm::SelectedPort() const {
    const int item = ComboBoxComPorts->currentIndex();
    return item < 0 ? 0 : ComboBoxComPorts->itemText(item).mid(3).toInt();
}

void TMainForm::WatchPorts() {
    connect(ComboBoxComPorts, &QComboBox::currentIndexChanged, this, [this] {
        if (!fillingList_) pickedPort_ = SelectedPort();
    });
    portPopup_ = ComboBoxComPorts->view()->window();
    portWatcher_ = new PortWatcher({Ports.Sources().portDirectory, Ports.Sources().devDirectory}, this);
    connect(portWatcher_, &PortWatcher::Changed, this, [this] {
        listOutdated_ = true;
        FollowPortList();
    });
}

bool TMainForm::PortListCanChange() const {
    return !Busy() && !quitting_ && !Channel.IsOpen() && !portPopup_->isVisible();
}

void TMainForm::FollowPortList() {
    if (!listOutdated_ || !PortListCanChange()) return;
    listOutdated_ = false;
    const QList<PortItem> items = PortItemsFor(EnumeratePorts());
    if (items == ShownPortItems()) return;

    // The selection follows the port the user picked: shown while it is
    // listed, none while it is gone, and back when it returns.
    FillPortList(items);
    if (pickedPort_ == 0) return;
    fillingList_ = true;
    ComboBoxComPorts->setCurrentIndex(ComboBoxComPorts->findText(QStringLiteral("COM%1").arg(pickedPort_)));
    fillingList_ = false;
}

void TMainForm::NoticePortLost() { FollowLostPort(); }

void TMainForm::FollowLostPort() {
    // A handler that closed the link itself has already dealt with the loss.
    if (Busy() || quitting_ || !Channel.IsOpen() || !Channel.PortLost()) return;
    Dispatch([this] {
        ShowDisconnected();
        Message(QString::fromUtf8("串口已断开，请检查设备连接！"), MB_OK | MB_ICONERROR);
    });
}
