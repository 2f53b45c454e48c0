// The banded grid that carries the acceptance-filter table: a table view over
// an unbound store the program fills itself, with one object per column and
// the three in-cell editors (check box, fixed-list drop-down, text with a
// button).
#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QList>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QPushButton>
#include <QStandardItemModel>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QVariant>
#include <QWidget>

class FilterTableView;

// One column of the table view: its place in the store, caption, design width
// and the integer Tag the handlers use as state.
class FilterColumn : public QObject {
    Q_OBJECT
public:
    enum class EditorKind { None, CheckBox, ComboBox, ButtonEdit };

    FilterColumn(FilterTableView* view, int index, const QString& caption, int width,
                        EditorKind editor, Qt::Alignment alignment);

    int Index() const { return index_; }
    QString Caption() const { return caption_; }
    int Width() const { return width_; }
    EditorKind Editor() const { return editor_; }
    Qt::Alignment Alignment() const { return alignment_; }

    // Editor settings (what the column's Properties hold).
    QStringList Items;         // fixed-list drop-down
    QString ButtonCaption;     // text button
    QString InputPattern;      // regular expression the typed text must match
    bool AutoSelect = false;   // text selected when the editor opens
    bool Resizable = true;
    int MinWidth = 0;

    int Tag = 0;

private:
    int index_;
    QString caption_;
    int width_;
    EditorKind editor_;
    Qt::Alignment alignment_;
};

// The check-box editor of the Enable column. Changing its state, by the user
// or by a handler, raises PropertiesChange at once and posts the new value to
// the cell ("1" or "0").
class CheckCellEditor : public QObject {
    Q_OBJECT
public:
    explicit CheckCellEditor(FilterTableView* view);

    bool Checked() const { return checked_; }
    void SetChecked(bool checked);
    // Starts editing `cell`: the editor shows what the cell holds.
    void Attach(const QModelIndex& cell);

    int Tag = 0;

signals:
    void PropertiesChange(CheckCellEditor* editor);

private:
    FilterTableView* view_;
    QPersistentModelIndex cell_;
    bool checked_ = false;
};

// Drop-down list editor: pick only, its text follows the highlighted item
// while the list is open, and every closing of the list is reported.
class ListCellEditor : public QComboBox {
    Q_OBJECT
public:
    explicit ListCellEditor(QWidget* parent);
    void showPopup() override;
    void hidePopup() override;

signals:
    void CloseUp();

private:
    int indexAtOpen_ = -1;
    bool picked_ = false;
    bool open_ = false;
};

// Text editor with one button; Enter presses the button.
class ButtonCellEditor : public QWidget {
    Q_OBJECT
public:
    ButtonCellEditor(QWidget* parent, const QString& buttonCaption, const QString& pattern);
    QLineEdit* Edit() const { return edit_; }
    QPushButton* Button() const { return button_; }

signals:
    void ButtonClick(int buttonIndex);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* edit_;
    QPushButton* button_;
};

// Paints and edits the cells of one column by the column's editor kind.
class FilterColumnDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    FilterColumnDelegate(FilterTableView* view, FilterColumn* column);

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override;
    void destroyEditor(QWidget* editor, const QModelIndex& index) const override;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;

private:
    FilterTableView* view_;
    FilterColumn* column_;
};

// The table view: fixed rows that the program creates, columns sized to the
// view's width, no sorting, moving, grouping or filtering.
class FilterTableView : public QTableView {
    Q_OBJECT
public:
    explicit FilterTableView(QWidget* parent);
    using QTableView::edit;

    FilterColumn* CreateColumn(int index, const QString& caption, int width,
                                      FilterColumn::EditorKind editor, Qt::Alignment alignment);
    QList<FilterColumn*> Columns() const { return columns_; }

    int RowCount() const;
    // New rows start with every cell empty; rows that stay keep their cells.
    void SetRowCount(int rows);
    // An empty cell gives an invalid QVariant.
    QVariant Value(int row, const FilterColumn* column) const;
    void SetValue(int row, const FilterColumn* column, const QVariant& value);
    // The row being edited, else the row that has the focus; -1 when none.
    int FocusedRow() const;
    // Stores the open editor's pending value into its cell.
    void PostEditValue();
    // Closes the open editor without storing its value.
    void CancelEdit();

    CheckCellEditor* CheckBoxEditor() const { return checkEditor_; }
    QStandardItemModel* Store() const { return store_; }
    // The editor widget open at the moment, if any (tests reach it here).
    QWidget* ActiveEditor() const { return activeEditor_; }
    FilterColumn* ColumnAt(int index) const;

    QString BandCaption;

    // Used by the delegates.
    void EditorOpened(QWidget* editor, const QModelIndex& index);
    void EditorClosed(QWidget* editor);
    void ToggleCheckBox(const QModelIndex& index);
    void PostButtonClick(FilterColumn* column, int buttonIndex);
    void PostCloseUp(FilterColumn* column);

signals:
    void ColumnHeaderClick(FilterColumn* column);
    void ColumnButtonClick(FilterColumn* column, int buttonIndex);
    void ColumnCloseUp(FilterColumn* column);

protected:
    bool viewportEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;

private:
    void FitColumns();

    QStandardItemModel* store_;
    QList<FilterColumn*> columns_;
    CheckCellEditor* checkEditor_;
    QPointer<QWidget> activeEditor_;
    QPersistentModelIndex activeIndex_;
};

// The grid control: a frame holding its one level and view.
class FilterGridLevel;
class FilterGrid : public QWidget {
    Q_OBJECT
public:
    explicit FilterGrid(QWidget* parent);
    FilterGridLevel* CreateLevel(FilterTableView* view);
};

class FilterGridLevel : public QObject {
    Q_OBJECT
public:
    FilterGridLevel(FilterGrid* grid, FilterTableView* view);
    FilterTableView* GridView() const { return view_; }

private:
    FilterTableView* view_;
};
