// The adapter pulled out and plugged back in: the window follows a port that
// hangs up, and the port list follows the system's ports while disconnected.
#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <ostream>
#include <thread>

#include "PortWatcher.h"
#include "window_fixture.h"

namespace tavrol::apptest {
namespace {

const char* const kPortLost = "串口已断开，请检查设备连接！";

void ExpectPortLostBox(const ShownBox& box) {
    EXPECT_EQ(box.text, U(kPortLost));
    EXPECT_EQ(box.caption, "Tavrol");
    EXPECT_EQ(box.flags, app::MB_OK | app::MB_ICONERROR);
}

TEST_F(WindowTest, UnplugWhileConnectedDisconnectsWithOneBoxAndReplugConnectsInOneClick) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    CreateWindow();
    ASSERT_NO_FATAL_FAILURE(ConnectAt(115200));
    const QString port = form->ComboBoxComPorts->currentText();
    bool openWhenShown = true;
    QString captionWhenShown;
    boxes.onShow = [&](const ShownBox&) {
        openWhenShown = form->Channel.IsOpen();
        captionWhenShown = form->ButtonConnect->text();
    };
    adapter->ClearLog();
    adapter->Unplug();

    ASSERT_TRUE(WaitFor([&] { return !boxes.shown.empty(); }));
    // The disconnect steps came first, then the box.
    EXPECT_FALSE(openWhenShown);
    EXPECT_EQ(captionWhenShown, U("打开串口"));
    ExpectDisconnectedLook();
    EXPECT_EQ(form->InputUSARTBaud->currentText(), "115200");
    // The pulled adapter's port leaves the list, and with it the selection.
    ASSERT_TRUE(WaitFor([&] { return !PortItems().contains(port); }));
    EXPECT_EQ(form->ComboBoxComPorts->currentIndex(), -1);
    ASSERT_EQ(boxes.shown.size(), 1u) << boxes.Texts().join(" | ").toStdString();
    ExpectPortLostBox(boxes.shown[0]);
    EXPECT_TRUE(Requests().isEmpty());

    // Plugged back in: the same COM number, selected again, and one click
    // connects without a refresh.
    ASSERT_TRUE(adapter->Replug());
    ASSERT_TRUE(WaitFor([&] { return form->ComboBoxComPorts->currentText() == port; }));
    const int item = form->ComboBoxComPorts->currentIndex();
    EXPECT_EQ(form->ComboBoxComPorts->itemData(item, Qt::ToolTipRole).toString().toStdString(), adapter->SlavePath());
    ClickConnect();
    EXPECT_TRUE(form->Channel.IsOpen());
    EXPECT_EQ(form->ButtonConnect->text(), U("关闭串口"));
    EXPECT_EQ(boxes.shown.size(), 1u) << boxes.Texts().join(" | ").toStdString();
}

TEST_F(WindowTest, AHangUpDuringALoadLetsTheLoadEndThenDisconnectsWithOneBox) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    CreateWindow();
    // The adapter is pulled out after the identifier and six filters.
    std::thread unplug([this] {
        adapter->WaitForRequests(8, 10000);
        adapter->Unplug();
    });
    ASSERT_TRUE(SelectAdapterPort());
    SelectRate(115200);
    ClickConnect();
    unplug.join();

    ASSERT_TRUE(WaitFor([&] { return !boxes.shown.empty(); }));
    QTest::qWait(100);
    // The load's failed reads were silent; only the loss is reported.
    ASSERT_EQ(boxes.shown.size(), 1u) << boxes.Texts().join(" | ").toStdString();
    ExpectPortLostBox(boxes.shown[0]);
    ExpectDisconnectedLook();
    for (const QString& line : Requests()) EXPECT_TRUE(line.startsWith("R ")) << line.toStdString();

    // Plugged back in, the next connection loads everything.
    ASSERT_TRUE(adapter->Replug());
    adapter->ClearLog();
    ASSERT_TRUE(WaitFor([&] { return form->ComboBoxComPorts->currentIndex() >= 0; }));
    ClickConnect();
    ASSERT_TRUE(form->Channel.IsOpen());
    EXPECT_EQ(Cell(13, form->cxGrid1BandedTableView1ColumnIndex), "14");
    EXPECT_EQ(Requests().size(), 2 + 17 + 2);  // identifier, load, both boxes written back
}

TEST_F(WindowTest, AHangUpWhileABoxIsOpenIsFollowedOnceTheHandlerHasEnded) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    CreateWindow();
    ASSERT_NO_FATAL_FAILURE(ConnectAt(115200));
    // The factory-reset question is open when the adapter is pulled out.
    bool disconnectedWhileAsked = true;
    boxes.onShow = [&](const ShownBox& box) {
        if (box.caption != U("恢复出厂设置")) return;
        adapter->Unplug();
        ASSERT_TRUE(WaitFor([&] { return form->Channel.PortLost(); }));
        QTest::qWait(50);
        disconnectedWhileAsked = !form->Channel.IsOpen();
    };
    form->RzButton1->click();
    EXPECT_FALSE(disconnectedWhileAsked);
    ASSERT_EQ(boxes.shown.size(), 2u) << boxes.Texts().join(" | ").toStdString();
    ExpectPortLostBox(boxes.shown[1]);
    ExpectDisconnectedLook();
}

TEST_F(WindowTest, AHangUpDuringTheSearchEndsItWithTheOpenFailureAlone) {
    sim::Options options;
    options.serialRate = 921600;  // the search is still running when it is pulled out
    ASSERT_NO_FATAL_FAILURE(StartAdapter(options));
    CreateWindow();
    TMainForm::SetTransactionTimeoutForTesting(100);
    ASSERT_TRUE(SelectAdapterPort());
    QTimer::singleShot(350, [&] { adapter->Unplug(); });
    ClickConnect();
    QTest::qWait(100);

    // The search closed the link itself when its next open failed, so the
    // loss needs no box of its own.
    ASSERT_EQ(boxes.shown.size(), 1u) << boxes.Texts().join(" | ").toStdString();
    EXPECT_EQ(boxes.shown[0].text, U("打开串口失败！"));
    EXPECT_FALSE(boxes.shown[0].details.isEmpty());
    ExpectDisconnectedLook();
}

TEST_F(WindowTest, TheListFollowsThePortsAndTheSelectionFollowsThePickedPort) {
    CreateWindow();
    EXPECT_TRUE(PortItems().isEmpty());
    sim::Options fifth;
    fifth.com = 5;
    ASSERT_NO_FATAL_FAILURE(StartAdapter(fifth));
    ASSERT_TRUE(WaitFor([&] { return PortItems() == QStringList{"COM5"}; })) << PortItems().join(" ").toStdString();
    EXPECT_EQ(form->ComboBoxComPorts->currentIndex(), -1);
    form->ComboBoxComPorts->setCurrentIndex(0);

    // Another port before it: the pick stays on COM5.
    sim::Options secondOptions;
    secondOptions.com = 2;
    secondOptions.portDirectory = PortDirectory();
    sim::VirtualAdapter second(secondOptions);
    ASSERT_TRUE(second.Start());
    ASSERT_TRUE(WaitFor([&] { return PortItems() == QStringList{"COM2", "COM5"}; }));
    EXPECT_EQ(form->ComboBoxComPorts->currentText(), "COM5");

    // COM5 goes: no selection; it comes back: selected again.
    adapter->Unplug();
    ASSERT_TRUE(WaitFor([&] { return PortItems() == QStringList{"COM2"}; }));
    EXPECT_EQ(form->ComboBoxComPorts->currentIndex(), -1);
    ASSERT_TRUE(adapter->Replug());
    ASSERT_TRUE(WaitFor([&] { return PortItems() == QStringList{"COM2", "COM5"}; }));
    EXPECT_EQ(form->ComboBoxComPorts->currentText(), "COM5");

    // Once the user has picked another port, a returning one is not picked.
    form->ComboBoxComPorts->setCurrentIndex(0);
    adapter->Unplug();
    ASSERT_TRUE(WaitFor([&] { return PortItems() == QStringList{"COM2"}; }));
    EXPECT_EQ(form->ComboBoxComPorts->currentText(), "COM2");
    ASSERT_TRUE(adapter->Replug());
    ASSERT_TRUE(WaitFor([&] { return PortItems().size() == 2; }));
    EXPECT_EQ(form->ComboBoxComPorts->currentText(), "COM2");

    // "刷新列表" clears the selection, and nothing is picked again after it.
    form->ButtonRefresh->click();
    EXPECT_EQ(form->ComboBoxComPorts->currentIndex(), -1);
    second.Stop();
    ASSERT_TRUE(WaitFor([&] { return PortItems() == QStringList{"COM5"}; }));
    ASSERT_TRUE(second.Start());
    ASSERT_TRUE(WaitFor([&] { return PortItems().size() == 2; }));
    EXPECT_EQ(form->ComboBoxComPorts->currentIndex(), -1);
    EXPECT_TRUE(boxes.shown.empty()) << boxes.Texts().join(" | ").toStdString();
}

TEST_F(WindowTest, APortDirectoryMadeAfterTheStartIsFollowedToo) {
    std::filesystem::remove_all(PortDirectory());
    CreateWindow();
    ASSERT_NO_FATAL_FAILURE(StartAdapter());  // makes the directory, then its link
    const QString port = QString("COM%1").arg(adapter->ComNumber());
    ASSERT_TRUE(WaitFor([&] { return PortItems() == QStringList{port}; })) << PortItems().join(" ").toStdString();
    adapter->Unplug();
    ASSERT_TRUE(WaitFor([&] { return PortItems().isEmpty(); })) << PortItems().join(" ").toStdString();
}

// What keeps the list from changing for a while.
enum class Hold { DropDownOpen, HandlerRunning, Connected };

struct HeldChange {
    const char* name;
    Hold hold;
    bool appears;  // a port appears (or else vanishes) meanwhile
};

void PrintTo(const HeldChange& c, std::ostream* os) { *os << c.name; }

class HeldChangeTest : public WindowTest, public ::testing::WithParamInterface<HeldChange> {};

TEST_P(HeldChangeTest, IsAppliedOnceTheListMayChange) {
    const HeldChange& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    sim::Options otherOptions;
    otherOptions.com = adapter->ComNumber() + 1;
    otherOptions.portDirectory = PortDirectory();
    sim::VirtualAdapter other(otherOptions);
    if (!c.appears) {
        ASSERT_TRUE(other.Start());
    }
    CreateWindow();
    form->show();
    ASSERT_TRUE(SelectAdapterPort());
    const QStringList before = PortItems();
    auto* watcher = form->findChild<PortWatcher*>();
    ASSERT_NE(watcher, nullptr);
    QSignalSpy changed(watcher, &PortWatcher::Changed);

    bool held = false;
    auto changeWhileHeld = [&] {
        if (c.appears) {
            ASSERT_TRUE(other.Start());
        } else {
            other.Stop();
        }
        ASSERT_TRUE(changed.wait(10000));
        QCoreApplication::processEvents();
        EXPECT_EQ(PortItems(), before);
        held = true;
    };
    switch (c.hold) {
        case Hold::DropDownOpen:
            form->ComboBoxComPorts->showPopup();
            changeWhileHeld();
            form->ComboBoxComPorts->hidePopup();
            break;
        case Hold::HandlerRunning: {
            // A connection whose identifier never comes: its box is open.
            sim::Faults dropAll;
            dropAll.dropEvery = 1;
            adapter->SetFaults(dropAll);
            SelectRate(115200);
            boxes.onShow = [&](const ShownBox&) { changeWhileHeld(); };
            ClickConnect();
            break;
        }
        case Hold::Connected:
            ASSERT_NO_FATAL_FAILURE(ConnectAt(115200));
            changeWhileHeld();
            ClickConnect();
            break;
    }
    ASSERT_TRUE(held);
    const qsizetype expected = before.size() + (c.appears ? 1 : -1);
    ASSERT_TRUE(WaitFor([&] { return PortItems().size() == expected; })) << PortItems().join(" ").toStdString();
    EXPECT_EQ(form->ComboBoxComPorts->currentText(), QString("COM%1").arg(adapter->ComNumber()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeldChangeTest,
    ::testing::Values(HeldChange{"AppearsWhileTheDropDownIsOpen", Hold::DropDownOpen, true},
                      HeldChange{"VanishesWhileTheDropDownIsOpen", Hold::DropDownOpen, false},
                      HeldChange{"AppearsWhileAHandlerRuns", Hold::HandlerRunning, true},
                      HeldChange{"VanishesWhileAHandlerRuns", Hold::HandlerRunning, false},
                      HeldChange{"AppearsWhileConnected", Hold::Connected, true},
                      HeldChange{"VanishesWhileConnected", Hold::Connected, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavrol::apptest
