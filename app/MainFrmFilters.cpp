// The acceptance-filter table's handlers: a row's check box, its identifier
// and mask editors' button, its format list, and the header of the
// enable column.
#include <QVariant>

#include "Application.h"
#include "MainFrm.h"
#include "MessageBoxes.h"
#include "registers.h"

using namespace tavrol;
using namespace tavrol::app;

namespace {

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

const char* const kExtended = "扩展";

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
