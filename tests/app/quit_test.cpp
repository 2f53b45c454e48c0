// Closing the window (as the termination signals do) in every state: the
// running handler ends early, no further box appears, and the window closes
// with the port closed.
#include <QGuiApplication>
#include <QTimer>

#include <ostream>

#include "window_fixture.h"

namespace tavrol::apptest {
namespace {

enum class State { Connected, TransactionWaiting, MessageBoxOpen };

struct QuitCase {
    const char* name;
    State state;
};

void PrintTo(const QuitCase& c, std::ostream* os) { *os << c.name; }

class QuitTest : public WindowTest, public ::testing::WithParamInterface<QuitCase> {};

TEST_P(QuitTest, TheWindowClosesWithThePortClosedAndNoFurtherBox) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    CreateWindow();
    form->show();
    ASSERT_NO_FATAL_FAILURE(ConnectAt(115200));
    adapter->ClearLog();
    std::size_t boxesBefore = 0;

    switch (GetParam().state) {
        case State::Connected:
            form->close();
            break;
        case State::TransactionWaiting: {
            // A factory reset whose replies come slowly: the window is closed
            // while the reload after it waits for its third reply.
            sim::Faults slow;
            slow.replyDelayMs = 100;
            adapter->SetFaults(slow);
            boxes.answers.push_back(app::IDYES);
            QTimer poll;
            QObject::connect(&poll, &QTimer::timeout, [&] {
                if (adapter->Log().size() >= 3) {
                    poll.stop();
                    form->close();
                }
            });
            poll.start(2);
            form->RzButton1->click();
            boxesBefore = 1;  // the question
            // At most the request in flight when the window closed followed.
            EXPECT_LE(Requests().size(), 4) << Requests().join(" | ").toStdString();
            break;
        }
        case State::MessageBoxOpen: {
            // The serial rate write fails: its error box is open when the
            // window is closed, so the replug notice after it never shows.
            sim::Faults dropAll;
            dropAll.dropEvery = 1;
            adapter->SetFaults(dropAll);
            bool waitCursorOverBox = true;
            boxes.onShow = [&](const ShownBox&) {
                waitCursorOverBox = QGuiApplication::overrideCursor() != nullptr;
                form->close();
            };
            form->CBUSARTBaud->setCurrentIndex(form->CBUSARTBaud->findText("9600"));
            form->btn1->click();
            EXPECT_EQ(boxes.closedWhileOpen, 1);
            // The box shows the normal cursor, not the wait cursor.
            EXPECT_FALSE(waitCursorOverBox);
            boxesBefore = 1;
            break;
        }
    }
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->Channel.IsOpen());
    EXPECT_FALSE(form->Busy());
    EXPECT_EQ(boxes.shown.size(), boxesBefore) << boxes.Texts().join(" | ").toStdString();
}

INSTANTIATE_TEST_SUITE_P(States, QuitTest,
                         ::testing::Values(QuitCase{"Connected", State::Connected},
                                           QuitCase{"TransactionWaiting", State::TransactionWaiting},
                                           QuitCase{"MessageBoxOpen", State::MessageBoxOpen}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tavrol::apptest
