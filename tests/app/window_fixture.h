// The main window against a virtual adapter on a pseudo-terminal registered
// as a COM port in a private port directory, with every message box recorded
// and answered by the test.
#pragma once

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QString>
#include <QStringList>

#include <array>
#include <deque>
#include <ostream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "MainFrm.h"
#include "can_message.h"
#include "../support/temp_dir.h"
#include "MessageBoxes.h"
#include "PageControl.h"
#include "port_catalog.h"
#include "port_directory.h"
#include "rt_can.h"
#include "virtual_adapter.h"

// Readable texts in failure messages.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QStringList& texts, std::ostream* os) {
    *os << "{";
    for (int i = 0; i < texts.size(); ++i) *os << (i ? ", \"" : "\"") << texts[i].toStdString() << '"';
    *os << "}";
}

namespace tavrol::apptest {

// Chinese texts in the tests are written as UTF-8 literals.
inline QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// A filter register value from its identifier word and mask word.
inline std::array<std::uint8_t, 8> Words(std::uint32_t id, std::uint32_t mask) {
    std::array<std::uint8_t, 8> value{};
    StoreLE32(value.data(), id);
    StoreLE32(value.data() + 4, mask);
    return value;
}

struct ShownBox {
    QString text;
    QString caption;
    unsigned flags = 0;
    QString details;  // the second paragraph, if any
};

// Records every box and answers it: from the queue of answers when one is
// there, otherwise OK (or No for a Yes/No box).
class FakeMessageBoxes : public app::MessageBoxService {
public:
    int Show(QWidget* owner, const QString& text, const QString& caption, unsigned flags,
             const QString& details) override;
    void CloseOpenBoxes() override;

    std::vector<ShownBox> shown;
    int open = 0;            // boxes open now
    int closedWhileOpen = 0; // CloseOpenBoxes calls that found a box open
    std::deque<int> answers;
    // Runs while the box is "open", before it is answered.
    std::function<void(const ShownBox&)> onShow;

    QStringList Texts() const;
};

// A fresh temporary directory, removed with everything in it.
using TempDir = tavrol::test::TempDir;

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string PortDirectory() const { return dir.Path() + "/ports"; }
    // The window's port sources: the private port directory only, so no
    // system serial device shows up.
    PortSources Sources() const;

    // Starts an adapter in the private port directory; ASSERT_NO_FATAL_FAILURE.
    void StartAdapter(sim::Options options = {});
    // Builds the window (which fills its port list).
    void CreateWindow();
    // Picks the adapter's port in the port list; false when it is not listed.
    bool SelectAdapterPort();
    // Picks `rate` in the connection's rate list.
    void SelectRate(int rate);
    // Connects at `rate` and checks that it worked; ASSERT_NO_FATAL_FAILURE.
    void ConnectAt(int rate);
    void ClickConnect();
    // Runs the event loop until `condition` holds; false when it never did
    // (a generous limit, never a measure of speed).
    static bool WaitFor(const std::function<bool()>& condition);
    // The items of the port list.
    QStringList PortItems() const;
    // The window's disconnected look.
    void ExpectDisconnectedLook() const;

    // The requests the adapter received, as "R name" / "W name data…" lines.
    QStringList Requests() const;
    static QString Describe(const CanMessage& request);

    QString Cell(int row, FilterColumn* column) const;

    TempDir dir;
    std::unique_ptr<sim::VirtualAdapter> adapter;
    FakeMessageBoxes boxes;
    std::unique_ptr<TMainForm> form;
    QStringList statusMessages;
};

// A register's readable name.
QString RegisterName(std::uint32_t id);

}  // namespace tavrol::apptest
