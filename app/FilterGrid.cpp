#include "FilterGrid.h"

#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <QStyleOptionButton>

namespace {

bool IsCheckedValue(const QVariant& value) { return value.isValid() && value.toInt() != 0; }

// The store of an unbound view: which cells can be focused and edited
// follows the column, not the cell.
class FilterStore : public QStandardItemModel {
public:
    FilterStore(FilterTableView* view) : QStandardItemModel(0, 0, view), view_(view) {}

    Qt::ItemFlags flags(const QModelIndex& index) const override {
        if (!index.isValid()) return Qt::NoItemFlags;
        FilterColumn* column = view_->ColumnAt(index.column());
        if (column == nullptr) return Qt::NoItemFlags;
        switch (column->Editor()) {
            case FilterColumn::EditorKind::None: return Qt::NoItemFlags;
            case FilterColumn::EditorKind::CheckBox: return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
            default: return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable;
        }
    }

private:
    FilterTableView* view_;
};

}  // namespace

// ---------------------------------------------------------------------------

FilterColumn::FilterColumn(FilterTableView* view, int index, const QString& caption,
                                         int width, EditorKind editor, Qt::Alignment alignment)
    : QObject(view), index_(index), caption_(caption), width_(width), editor_(editor), alignment_(alignment) {}

// ---------------------------------------------------------------------------

CheckCellEditor::CheckCellEditor(FilterTableView* view) : QObject(view), view_(view) {}

void CheckCellEditor::Attach(const QModelIndex& cell) {
    cell_ = cell;
    checked_ = IsCheckedValue(cell.data(Qt::EditRole));
}

void CheckCellEditor::SetChecked(bool checked) {
    if (checked == checked_) return;
    checked_ = checked;
    if (cell_.isValid()) view_->Store()->setData(cell_, QString(checked ? "1" : "0"), Qt::EditRole);
    emit PropertiesChange(this);
}

// ---------------------------------------------------------------------------

ListCellEditor::ListCellEditor(QWidget* parent) : QComboBox(parent) {
    setEditable(false);
    connect(this, &QComboBox::highlighted, this, [this](int index) {
        if (open_) setCurrentIndex(index);
    });
    connect(this, &QComboBox::activated, this, [this](int) { picked_ = true; });
}

void ListCellEditor::showPopup() {
    indexAtOpen_ = currentIndex();
    picked_ = false;
    open_ = true;
    QComboBox::showPopup();
}

void ListCellEditor::hidePopup() {
    QComboBox::hidePopup();
    if (!open_) return;
    open_ = false;
    // A pick arrives after the list has closed; anything else leaves the
    // value the cell had when the list opened.
    if (!picked_) setCurrentIndex(indexAtOpen_);
    emit CloseUp();
}

// ---------------------------------------------------------------------------

ButtonCellEditor::ButtonCellEditor(QWidget* parent, const QString& buttonCaption, const QString& pattern)
    : QWidget(parent), edit_(new QLineEdit(this)), button_(new QPushButton(buttonCaption, this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(edit_, 1);
    layout->addWidget(button_);
    edit_->setFrame(false);
    QString compact = pattern;
    compact.remove(QRegularExpression("\\s"));
    edit_->setValidator(new QRegularExpressionValidator(QRegularExpression(compact), edit_));
    // The button is pressed with the mouse or with Enter; it never takes the
    // focus, so pressing it does not end the edit.
    button_->setFocusPolicy(Qt::NoFocus);
    button_->setAutoDefault(false);
    button_->setDefault(true);
    button_->setFixedWidth(button_->fontMetrics().horizontalAdvance(buttonCaption) + 10);
    edit_->installEventFilter(this);
    setFocusProxy(edit_);
    connect(button_, &QPushButton::clicked, this, [this] { emit ButtonClick(0); });
}

bool ButtonCellEditor::eventFilter(QObject* watched, QEvent* event) {
    if (watched == edit_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            button_->click();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------

FilterColumnDelegate::FilterColumnDelegate(FilterTableView* view, FilterColumn* column)
    : QStyledItemDelegate(view), view_(view), column_(column) {}

QWidget* FilterColumnDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                         const QModelIndex& index) const {
    QWidget* editor = nullptr;
    switch (column_->Editor()) {
        case FilterColumn::EditorKind::ComboBox: {
            auto* combo = new ListCellEditor(parent);
            combo->addItems(column_->Items);
            auto* self = const_cast<FilterColumnDelegate*>(this);
            // A pick is stored in the cell at once.
            connect(combo, &QComboBox::activated, self, [self, combo] { emit self->commitData(combo); });
            connect(combo, &ListCellEditor::CloseUp, view_,
                    [view = view_, column = column_] { view->PostCloseUp(column); });
            editor = combo;
            break;
        }
        case FilterColumn::EditorKind::ButtonEdit: {
            auto* edit = new ButtonCellEditor(parent, column_->ButtonCaption, column_->InputPattern);
            edit->Edit()->setAlignment(column_->Alignment());
            connect(edit, &ButtonCellEditor::ButtonClick, view_,
                    [view = view_, column = column_](int button) { view->PostButtonClick(column, button); });
            editor = edit;
            break;
        }
        default:
            return nullptr;
    }
    editor->setObjectName(column_->objectName() + "Editor");
    view_->EditorOpened(editor, index);
    return editor;
}

void FilterColumnDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
    const QVariant value = index.data(Qt::EditRole);
    if (auto* combo = qobject_cast<QComboBox*>(editor)) {
        combo->setCurrentIndex(value.isValid() ? combo->findText(value.toString()) : -1);
    } else if (auto* edit = qobject_cast<ButtonCellEditor*>(editor)) {
        edit->Edit()->setText(value.isValid() ? value.toString() : QString());
        if (column_->AutoSelect) {
            edit->Edit()->selectAll();
        } else {
            edit->Edit()->deselect();
            edit->Edit()->end(false);
        }
    }
}

void FilterColumnDelegate::setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const {
    if (auto* combo = qobject_cast<QComboBox*>(editor)) {
        if (combo->currentIndex() >= 0) model->setData(index, combo->currentText(), Qt::EditRole);
    } else if (auto* edit = qobject_cast<ButtonCellEditor*>(editor)) {
        model->setData(index, edit->Edit()->text(), Qt::EditRole);
    }
}

void FilterColumnDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                             const QModelIndex&) const {
    editor->setGeometry(option.rect);
}

void FilterColumnDelegate::destroyEditor(QWidget* editor, const QModelIndex& index) const {
    view_->EditorClosed(editor);
    QStyledItemDelegate::destroyEditor(editor, index);
}

void FilterColumnDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
    QStyledItemDelegate::initStyleOption(option, index);
    option->displayAlignment = column_->Alignment() | Qt::AlignVCenter;
    // The index column cannot take the focus, but is not shown as disabled.
    option->state |= QStyle::State_Enabled;
}

void FilterColumnDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    if (column_->Editor() != FilterColumn::EditorKind::CheckBox) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    opt.text.clear();
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

    QStyleOptionButton box;
    const int w = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, widget);
    const int h = style->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, widget);
    box.rect = QRect(option.rect.x() + (option.rect.width() - w) / 2, option.rect.y() + (option.rect.height() - h) / 2,
                     w, h);
    box.state = QStyle::State_Enabled | (IsCheckedValue(index.data(Qt::EditRole)) ? QStyle::State_On : QStyle::State_Off);
    box.palette = option.palette;
    style->drawPrimitive(QStyle::PE_IndicatorCheckBox, &box, painter, widget);
}

bool FilterColumnDelegate::editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                                    const QModelIndex& index) {
    if (column_->Editor() != FilterColumn::EditorKind::CheckBox)
        return QStyledItemDelegate::editorEvent(event, model, option, index);
    switch (event->type()) {
        case QEvent::MouseButtonRelease: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() != Qt::LeftButton || !option.rect.contains(mouse->position().toPoint())) return false;
            view_->ToggleCheckBox(index);
            return true;
        }
        case QEvent::MouseButtonDblClick:
            return true;
        case QEvent::KeyPress: {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() != Qt::Key_Space && key->key() != Qt::Key_Select) return false;
            view_->ToggleCheckBox(index);
            return true;
        }
        default:
            return false;
    }
}

// ---------------------------------------------------------------------------

FilterTableView::FilterTableView(QWidget* parent)
    : QTableView(parent), store_(new FilterStore(this)), checkEditor_(new CheckCellEditor(this)) {
    setModel(store_);
    setSortingEnabled(false);
    setDragEnabled(false);
    setAcceptDrops(false);
    setDragDropMode(QAbstractItemView::NoDragDrop);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::CurrentChanged | QAbstractItemView::SelectedClicked |
                    QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                    QAbstractItemView::AnyKeyPressed);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setWordWrap(false);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(21);
    horizontalHeader()->setSectionsMovable(false);
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSortIndicatorShown(false);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    connect(horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int section) {
        if (FilterColumn* column = ColumnAt(section)) emit ColumnHeaderClick(column);
    });
}

FilterColumn* FilterTableView::CreateColumn(int index, const QString& caption, int width,
                                                          FilterColumn::EditorKind editor,
                                                          Qt::Alignment alignment) {
    auto* column = new FilterColumn(this, index, caption, width, editor, alignment);
    columns_.append(column);
    if (store_->columnCount() <= index) store_->setColumnCount(index + 1);
    store_->setHeaderData(index, Qt::Horizontal, caption, Qt::DisplayRole);
    store_->setHeaderData(index, Qt::Horizontal, QVariant::fromValue(alignment | Qt::AlignVCenter),
                          Qt::TextAlignmentRole);
    setItemDelegateForColumn(index, new FilterColumnDelegate(this, column));
    horizontalHeader()->resizeSection(index, width);
    return column;
}

FilterColumn* FilterTableView::ColumnAt(int index) const {
    for (FilterColumn* column : columns_)
        if (column->Index() == index) return column;
    return nullptr;
}

int FilterTableView::RowCount() const { return store_->rowCount(); }

void FilterTableView::SetRowCount(int rows) { store_->setRowCount(rows); }

QVariant FilterTableView::Value(int row, const FilterColumn* column) const {
    return store_->data(store_->index(row, column->Index()), Qt::EditRole);
}

void FilterTableView::SetValue(int row, const FilterColumn* column, const QVariant& value) {
    const QModelIndex cell = store_->index(row, column->Index());
    store_->setData(cell, value, Qt::EditRole);
    // An open editor on that cell must not write its stale text back later.
    if (activeEditor_ && activeIndex_ == QPersistentModelIndex(cell)) {
        if (auto* delegate = itemDelegateForColumn(cell.column())) delegate->setEditorData(activeEditor_, cell);
    }
}

int FilterTableView::FocusedRow() const {
    if (activeEditor_ && activeIndex_.isValid()) return activeIndex_.row();
    const QModelIndex current = currentIndex();
    return current.isValid() ? current.row() : -1;
}

void FilterTableView::PostEditValue() {
    if (!activeEditor_ || !activeIndex_.isValid()) return;
    if (auto* delegate = itemDelegateForColumn(activeIndex_.column()))
        delegate->setModelData(activeEditor_, store_, activeIndex_);
}

void FilterTableView::CancelEdit() {
    if (activeEditor_) closeEditor(activeEditor_, QAbstractItemDelegate::NoHint);
}

void FilterTableView::EditorOpened(QWidget* editor, const QModelIndex& index) {
    activeEditor_ = editor;
    activeIndex_ = index;
}

void FilterTableView::EditorClosed(QWidget* editor) {
    if (activeEditor_ == editor) {
        activeEditor_ = nullptr;
        activeIndex_ = QPersistentModelIndex();
    }
}

void FilterTableView::ToggleCheckBox(const QModelIndex& index) {
    if (!index.isValid()) return;
    // The row whose box is toggled becomes the focused row first.
    setCurrentIndex(index);
    checkEditor_->Attach(index);
    checkEditor_->SetChecked(!checkEditor_->Checked());
    update(index);
}

// The button and close-up handlers run after the editor's own event has been
// handled, so a handler that closes the editor never deletes the widget
// whose event is still being delivered.
void FilterTableView::PostButtonClick(FilterColumn* column, int buttonIndex) {
    QMetaObject::invokeMethod(
        this, [this, column, buttonIndex] { emit ColumnButtonClick(column, buttonIndex); }, Qt::QueuedConnection);
}

void FilterTableView::PostCloseUp(FilterColumn* column) {
    QMetaObject::invokeMethod(this, [this, column] { emit ColumnCloseUp(column); }, Qt::QueuedConnection);
}

bool FilterTableView::viewportEvent(QEvent* event) {
    const bool result = QTableView::viewportEvent(event);
    if (event->type() == QEvent::Resize) FitColumns();
    return result;
}

void FilterTableView::mousePressEvent(QMouseEvent* event) {
    QTableView::mousePressEvent(event);
    const QModelIndex index = indexAt(event->position().toPoint());
    if (event->button() != Qt::LeftButton || !index.isValid() || index != currentIndex()) return;
    // One click on a cell edits it, also when it has the focus already.
    if (activeIndex_ != QPersistentModelIndex(index) && (index.flags() & Qt::ItemIsEditable))
        QAbstractItemView::edit(index);
    // A click on a format cell opens its list, as a click on the editor's
    // own drop-down button would.
    if (activeIndex_ == QPersistentModelIndex(index)) {
        if (auto* combo = qobject_cast<ListCellEditor*>(activeEditor_.data())) combo->showPopup();
    }
}

bool FilterTableView::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
    QWidget* before = activeEditor_;
    const bool result = QTableView::edit(index, trigger, event);
    // The view selects a new editor's text; only the columns that want it
    // keep the selection.
    if (activeEditor_ && activeEditor_ != before) {
        auto* editor = qobject_cast<ButtonCellEditor*>(activeEditor_.data());
        FilterColumn* column = ColumnAt(activeIndex_.column());
        if (editor != nullptr && column != nullptr && !column->AutoSelect && trigger != AnyKeyPressed) {
            editor->Edit()->deselect();
            editor->Edit()->end(false);
        }
    }
    return result;
}

// Columns keep their design proportions and fill the view's width; a column
// that cannot be resized keeps its width.
void FilterTableView::FitColumns() {
    const int available = viewport()->width();
    int fixed = 0;
    int flexible = 0;
    for (FilterColumn* column : columns_) (column->Resizable ? flexible : fixed) += column->Width();
    if (flexible <= 0) return;
    const int room = qMax(0, available - fixed);
    int given = 0;
    int seen = 0;
    for (FilterColumn* column : columns_) {
        if (!column->Resizable) {
            horizontalHeader()->resizeSection(column->Index(), column->Width());
            continue;
        }
        seen += column->Width();
        // Cumulative rounding: the last flexible column ends exactly at the edge.
        const int end = static_cast<int>(static_cast<long long>(room) * seen / flexible);
        horizontalHeader()->resizeSection(column->Index(), qMax(column->MinWidth, end - given));
        given = end;
    }
}

// ---------------------------------------------------------------------------

FilterGrid::FilterGrid(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
}

FilterGridLevel* FilterGrid::CreateLevel(FilterTableView* view) {
    layout()->addWidget(view);
    return new FilterGridLevel(this, view);
}

FilterGridLevel::FilterGridLevel(FilterGrid* grid, FilterTableView* view) : QObject(grid), view_(view) {}
