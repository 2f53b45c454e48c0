// The acceptance-filter table, edited through its own cell editors with
// mouse and keyboard events, checked on the screen and at the adapter.
#include <QCoreApplication>
#include <QHeaderView>
#include <QTest>

#include "can_message.h"
#include <ostream>

#include "window_fixture.h"

namespace tavrol::apptest {
namespace {

// Row 2 is the row under test; the others stay as loaded.
constexpr int kRow = 2;

class FilterTest : public WindowTest {
protected:
    // Connects with filter `kRow` holding the two words.
    void ConnectWithRow(std::uint32_t idWord, std::uint32_t maskWord) {
        ASSERT_NO_FATAL_FAILURE(StartAdapter());
        sim::Registers regs = adapter->GetRegisters();
        regs.filters[kRow] = Words(idWord, maskWord);
        adapter->SetRegisters(regs);
        CreateWindow();
        form->show();
        ASSERT_NO_FATAL_FAILURE(ConnectAt(115200));
        QCoreApplication::processEvents();
        adapter->ClearLog();
        boxes.shown.clear();
    }

    FilterTableView* View() const { return form->cxGrid1BandedTableView1; }
    FilterColumn* Enable() const { return form->cxGrid1BandedTableView1ColumnEnable; }
    FilterColumn* Format() const { return form->cxGrid1BandedTableView1ColumnFormat; }
    FilterColumn* Id() const { return form->cxGrid1BandedTableView1ColumnID; }
    FilterColumn* Mask() const { return form->cxGrid1BandedTableView1ColumnMask; }

    QPoint CellCenter(int row, FilterColumn* column) const {
        View()->scrollTo(View()->model()->index(row, column->Index()));
        return View()->visualRect(View()->model()->index(row, column->Index())).center();
    }

    void ClickCell(int row, FilterColumn* column) {
        QTest::mouseClick(View()->viewport(), Qt::LeftButton, {}, CellCenter(row, column));
        QCoreApplication::processEvents();
    }

    ButtonCellEditor* TextEditor() const { return qobject_cast<ButtonCellEditor*>(View()->ActiveEditor()); }

    // Opens the cell's editor with the mouse and types `text` over what it
    // held.
    void Type(int row, FilterColumn* column, const QString& text) {
        ClickCell(row, column);
        ButtonCellEditor* editor = TextEditor();
        ASSERT_NE(editor, nullptr);
        QTest::keyClick(editor->Edit(), Qt::Key_A, Qt::ControlModifier);
        if (text.isEmpty()) QTest::keyClick(editor->Edit(), Qt::Key_Backspace);
        else QTest::keyClicks(editor->Edit(), text);
    }

    // Presses the open editor's button with the mouse and lets its handler run.
    void PressButton() {
        ButtonCellEditor* editor = TextEditor();
        ASSERT_NE(editor, nullptr);
        QTest::mouseClick(editor->Button(), Qt::LeftButton);
        QCoreApplication::processEvents();
    }

    // Opens the format list of the row with a click and picks `item` with
    // the keyboard (nullptr: closes the list with Escape).
    void PickFormat(int row, const char* item) {
        ClickCell(row, Format());
        auto* combo = qobject_cast<ListCellEditor*>(View()->ActiveEditor());
        ASSERT_NE(combo, nullptr);
        ASSERT_TRUE(combo->view()->isVisible());
        if (item != nullptr) {
            combo->view()->setCurrentIndex(combo->model()->index(combo->findText(U(item)), 0));
            QTest::keyClick(combo->view(), Qt::Key_Return);
        } else {
            QTest::keyClick(combo->view(), Qt::Key_Escape);
        }
        QCoreApplication::processEvents();
    }
};

struct ConfirmCase {
    const char* name;
    std::uint32_t idWord, maskWord;  // loaded into the row
    const char* typedId;             // nullptr: not touched
    const char* typedMask;
    const char* box;                 // the message expected, nullptr: none
    const char* idCell;
    const char* maskCell;
    const char* sent;                // data bytes written, nullptr: nothing
};

void PrintTo(const ConfirmCase& c, std::ostream* os) { *os << c.name; }

class ConfirmTest : public FilterTest, public ::testing::WithParamInterface<ConfirmCase> {};

TEST_P(ConfirmTest, RewritesTheCellsInTheFormatsWidthAndWritesTheRow) {
    const ConfirmCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(ConnectWithRow(c.idWord, c.maskWord));
    // The mask is typed first when both are, so the identifier's button is
    // the one pressed; with only one typed, that cell's button is pressed.
    if (c.typedMask != nullptr) {
        ASSERT_NO_FATAL_FAILURE(Type(kRow, Mask(), c.typedMask));
    }
    if (c.typedId != nullptr) {
        ASSERT_NO_FATAL_FAILURE(Type(kRow, Id(), c.typedId));
    }
    ASSERT_NO_FATAL_FAILURE(PressButton());

    if (c.box != nullptr) {
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].text, U(c.box));
        EXPECT_EQ(boxes.shown[0].caption, "Tavrol");
        EXPECT_EQ(boxes.shown[0].flags, app::MB_OK | app::MB_ICONINFORMATION);
    } else {
        EXPECT_TRUE(boxes.shown.empty()) << boxes.Texts().join(" | ").toStdString();
    }
    EXPECT_EQ(Cell(kRow, Id()), c.idCell);
    EXPECT_EQ(Cell(kRow, Mask()), c.maskCell);
    if (c.sent != nullptr) {
        EXPECT_EQ(Requests(), QStringList({QString("W FILTER_%1 %2").arg(kRow).arg(c.sent)}));
        ASSERT_EQ(adapter->Log().size(), 1u);
        EXPECT_EQ(adapter->Log()[0].request.Dlc, 8);
    } else {
        EXPECT_TRUE(Requests().isEmpty());
    }
    // The editor has closed: the cells show what was sent.
    EXPECT_EQ(View()->ActiveEditor(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfirmTest,
    ::testing::Values(
        // enabled, standard: the cells keep 3 digits, the word all its bits
        ConfirmCase{"EnabledStandard", 0x80000000, 0, "1234", "7ff", nullptr, "234", "7FF",
                    "34 12 00 80 ff 07 00 00"},
        ConfirmCase{"DisabledExtended", 0x40000000, 0, "1abcdef", "FFF", nullptr, "01ABCDEF", "00000FFF",
                    "ef cd ab 41 ff 0f 00 00"},
        // typed bits above the 29-bit identifier never reach the flags
        ConfirmCase{"TopBitsOfAnExtendedIdentifier", 0x40000000, 0, "9ABCDEF0", nullptr, nullptr, "1ABCDEF0",
                    "00000000", "f0 de bc 5a 00 00 00 00"},
        ConfirmCase{"TopBitsOfAStandardIdentifier", 0x80000000, 0, "E0000123", nullptr, nullptr, "123", "000",
                    "23 01 00 80 00 00 00 00"},
        ConfirmCase{"FullMaskInExtendedFormat", 0xC0000000, 0, nullptr, "FFFFFFFF", nullptr, "00000000",
                    "FFFFFFFF", "00 00 00 c0 ff ff ff ff"},
        ConfirmCase{"NineCharacterIdentifier", 0x40000000, 0, "000000001", nullptr, "数据大小超出范围！",
                    "000000001", "00000000", nullptr},
        ConfirmCase{"NineCharacterMask", 0x00000000, 0, nullptr, "123456789", "数据大小超出范围！", "000",
                    "123456789", nullptr},
        ConfirmCase{"EmptyIdentifierInAnEnabledRow", 0x80000000, 0, "", nullptr, "ID不能为空！", "",
                    "000", nullptr},
        ConfirmCase{"EmptyMaskInAnEnabledRow", 0x80000000, 0, nullptr, "", "MASK不能为空！", "000", "", nullptr},
        ConfirmCase{"EmptyCellsInADisabledRowAreZero", 0x00000000, 0x7FF, "", "", nullptr, "000", "000",
                    "00 00 00 00 00 00 00 00"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FilterTest, EnterInTheEditorPressesItsButton) {
    ASSERT_NO_FATAL_FAILURE(ConnectWithRow(0x40000000, 0));
    ASSERT_NO_FATAL_FAILURE(Type(kRow, Id(), "7e"));
    QTest::keyClick(TextEditor()->Edit(), Qt::Key_Return);
    QCoreApplication::processEvents();
    EXPECT_EQ(Requests(), QStringList({QString("W FILTER_%1 7e 00 00 40 00 00 00 00").arg(kRow)}));
    EXPECT_EQ(Cell(kRow, Id()), "0000007E");
}

TEST_F(FilterTest, EditorsTakeOnlyHexDigitsAndSelectTheMaskOnOpening) {
    ASSERT_NO_FATAL_FAILURE(ConnectWithRow(0xC0000ABC, 0x1FFFFFFF));
    ClickCell(kRow, Mask());
    ASSERT_NE(TextEditor(), nullptr);
    EXPECT_EQ(TextEditor()->Button()->text(), U("确定"));
    EXPECT_EQ(TextEditor()->Edit()->selectedText(), "1FFFFFFF");

    ClickCell(kRow, Id());
    ASSERT_NE(TextEditor(), nullptr);
    EXPECT_EQ(TextEditor()->Button()->text(), U(" 确定"));
    EXPECT_EQ(TextEditor()->Edit()->text(), "00000ABC");
    EXPECT_FALSE(TextEditor()->Edit()->hasSelectedText());
    QTest::keyClick(TextEditor()->Edit(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(TextEditor()->Edit(), "g1-2 xH3a0x");
    EXPECT_EQ(TextEditor()->Edit()->text(), "123a0");
    // Moving to another cell keeps the typed text without writing anything.
    ClickCell(kRow, Mask());
    EXPECT_EQ(Cell(kRow, Id()), "123a0");
    EXPECT_TRUE(Requests().isEmpty());
}

TEST_F(FilterTest, TheButtonActsOnTheRowItsEditorIsIn) {
    ASSERT_NO_FATAL_FAILURE(ConnectWithRow(0, 0));
    View()->setCurrentIndex(View()->model()->index(0, Enable()->Index()));
    ASSERT_NO_FATAL_FAILURE(Type(9, Id(), "55"));
    ASSERT_NO_FATAL_FAILURE(PressButton());
    EXPECT_EQ(Requests(), QStringList({"W FILTER_9 55 00 00 00 00 00 00 00"}));
    EXPECT_EQ(Cell(9, Id()), "055");
    EXPECT_EQ(Cell(0, Id()), "000");
}

struct EnableCase {
    const char* name;
    // Row contents before the click; nullptr: the cell is empty.
    const char* enable;
    const char* format;
    const char* id;
    const char* mask;
    bool writeFails;
    const char* box;        // nullptr: none
    unsigned boxFlags;
    const char* enableAfter;
    const char* sent;       // nullptr: nothing
};

void PrintTo(const EnableCase& c, std::ostream* os) { *os << c.name; }

class EnableTest : public FilterTest, public ::testing::WithParamInterface<EnableCase> {};

TEST_P(EnableTest, TogglingTheBoxWritesTheRowOrRefuses) {
    const EnableCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(ConnectWithRow(0, 0));
    auto set = [&](FilterColumn* column, const char* value) {
        View()->SetValue(kRow, column, value == nullptr ? QVariant() : QVariant(U(value)));
    };
    set(Enable(), c.enable);
    set(Format(), c.format);
    set(Id(), c.id);
    set(Mask(), c.mask);
    if (c.writeFails) {
        sim::Faults faults;
        faults.dropEvery = 1;
        adapter->SetFaults(faults);
    }
    ClickCell(kRow, Enable());

    if (c.box != nullptr) {
        ASSERT_EQ(boxes.shown.size(), 1u) << boxes.Texts().join(" | ").toStdString();
        EXPECT_EQ(boxes.shown[0].text, U(c.box));
        EXPECT_EQ(boxes.shown[0].flags, c.boxFlags);
    } else {
        EXPECT_TRUE(boxes.shown.empty()) << boxes.Texts().join(" | ").toStdString();
    }
    EXPECT_EQ(Cell(kRow, Enable()), c.enableAfter);
    if (c.sent != nullptr) {
        EXPECT_EQ(Requests(), QStringList({QString("W FILTER_%1 %2").arg(kRow).arg(c.sent)}));
    } else {
        EXPECT_TRUE(Requests().isEmpty());
    }
    // The cells' texts are left as they were.
    EXPECT_EQ(Cell(kRow, Id()), c.id == nullptr ? "<empty>" : U(c.id));
    EXPECT_EQ(Cell(kRow, Mask()), c.mask == nullptr ? "<empty>" : U(c.mask));
    EXPECT_EQ(form->cxGrid1BandedTableView1->CheckBoxEditor()->Tag, 0);
}

constexpr unsigned kInfo = app::MB_OK | app::MB_ICONINFORMATION;
constexpr unsigned kError = app::MB_OK | app::MB_ICONERROR;

INSTANTIATE_TEST_SUITE_P(
    Cases, EnableTest,
    ::testing::Values(
        EnableCase{"CheckWithEmptyIdentifier", "0", "标准", nullptr, "7FF", false, "ID不能为空！", kInfo, "0", nullptr},
        EnableCase{"CheckWithEmptyMask", "0", "标准", "123", "", false, "MASK不能为空！", kInfo, "0", nullptr},
        EnableCase{"UncheckWithEverythingEmpty", "1", nullptr, nullptr, nullptr, false, nullptr, 0, "0",
                   "00 00 00 00 00 00 00 00"},
        EnableCase{"CheckKeepsTheExtendedBit", "0", "扩展", "00000123", "1FFFFFFF", false, nullptr, 0, "1",
                   "23 01 00 c0 ff ff ff 1f"},
        EnableCase{"StandardWordsAreNotTrimmed", "0", "标准", "1234", "FFFF", false, nullptr, 0, "1",
                   "34 12 00 80 ff ff 00 00"},
        // an unconfirmed identifier with bits above 28 cannot set the flags
        EnableCase{"UncheckWithTopBitsTyped", "1", "扩展", "FFFFFFFF", "0", false, nullptr, 0, "0",
                   "ff ff ff 5f 00 00 00 00"},
        EnableCase{"UnconvertibleIdentifier", "0", "扩展", "123456789", "0", false,
                   "'0x123456789' is not a valid integer value", kError, "1", nullptr},
        EnableCase{"WriteFails", "0", "标准", "1", "2", true, "配置失败！", kError, "1",
                   "01 00 00 80 02 00 00 00"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FilterTest, PickingAFormatRewritesTheRowAndEveryCloseWritesIt) {
    ASSERT_NO_FATAL_FAILURE(ConnectWithRow(0x00000123, 0x000007FF));
    ASSERT_EQ(Cell(kRow, Format()), U("标准"));
    ASSERT_NO_FATAL_FAILURE(PickFormat(kRow, "扩展"));
    EXPECT_EQ(Cell(kRow, Format()), U("扩展"));
    EXPECT_EQ(Cell(kRow, Id()), "00000123");
    EXPECT_EQ(Cell(kRow, Mask()), "000007FF");
    // Closing the list again without a change writes the same words again.
    ASSERT_NO_FATAL_FAILURE(PickFormat(kRow, nullptr));
    EXPECT_EQ(Cell(kRow, Format()), U("扩展"));
    const QString words = QString("W FILTER_%1 23 01 00 40 ff 07 00 00").arg(kRow);
    EXPECT_EQ(Requests(), QStringList({words, words}));
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(FilterTest, PickingStandardShowsThreeDigitsButSendsEveryBit) {
    ASSERT_NO_FATAL_FAILURE(ConnectWithRow(0x4ABCDEF0, 0x1FFFFFFF));
    ASSERT_NO_FATAL_FAILURE(PickFormat(kRow, "标准"));
    EXPECT_EQ(Cell(kRow, Id()), "6F0");
    EXPECT_EQ(Cell(kRow, Mask()), "7FF");
    EXPECT_EQ(Requests(), QStringList({QString("W FILTER_%1 f0 de bc 0a ff ff ff 1f").arg(kRow)}));
}

TEST_F(FilterTest, HeaderClicksCheckThenUncheckEveryRowWithoutWriting) {
    ASSERT_NO_FATAL_FAILURE(ConnectWithRow(0x80000000, 0));
    QHeaderView* header = View()->horizontalHeader();
    const QPoint enableHeader(header->sectionViewportPosition(Enable()->Index()) + 10, header->height() / 2);
    for (const char* expected : {"1", "0", "1"}) {
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, enableHeader);
        for (int n = 0; n < 14; ++n) EXPECT_EQ(Cell(n, Enable()), expected) << n;
    }
    EXPECT_TRUE(Requests().isEmpty());
    EXPECT_TRUE(boxes.shown.empty());

    // Other headers do not sort: row n stays filter n.
    const QPoint idHeader(header->sectionViewportPosition(Id()->Index()) + 10, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, idHeader);
    for (int n = 0; n < 14; ++n)
        EXPECT_EQ(Cell(n, form->cxGrid1BandedTableView1ColumnIndex), QString::number(n + 1));
}

}  // namespace
}  // namespace tavrol::apptest
