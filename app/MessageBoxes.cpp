#include "MessageBoxes.h"

#include <QMessageBox>
#include <QPushButton>

namespace tavrol::app {

namespace {

ModalMessageBoxService& RealBoxes() {
    static ModalMessageBoxService service;
    return service;
}

MessageBoxService* installed = nullptr;

}  // namespace

MessageBoxService& MessageBoxes() { return installed != nullptr ? *installed : RealBoxes(); }

void SetMessageBoxService(MessageBoxService* service) { installed = service; }

namespace {

// Keeps a box in the list of open boxes while it is shown.
class OpenBox {
public:
    OpenBox(std::vector<QPointer<QMessageBox>>& open, QMessageBox* box) : open_(open) { open_.emplace_back(box); }
    ~OpenBox() { open_.pop_back(); }
    OpenBox(const OpenBox&) = delete;
    OpenBox& operator=(const OpenBox&) = delete;

private:
    std::vector<QPointer<QMessageBox>>& open_;
};

}  // namespace

void ModalMessageBoxService::CloseOpenBoxes() {
    for (const QPointer<QMessageBox>& box : open_)
        if (box != nullptr) box->reject();
}

int ModalMessageBoxService::Show(QWidget* owner, const QString& text, const QString& caption, unsigned flags,
                                 const QString& details) {
    QMessageBox box(owner);
    OpenBox listed(open_, &box);
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowTitle(caption);
    box.setText(text);
    if (!details.isEmpty()) box.setInformativeText(details);
    switch (flags & MB_ICON_MASK) {
        case MB_ICONERROR: box.setIcon(QMessageBox::Critical); break;
        case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
        case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
        default: box.setIcon(QMessageBox::NoIcon); break;
    }
    if ((flags & MB_BUTTON_MASK) == MB_YESNO) {
        QPushButton* yes = box.addButton(QString::fromUtf8("是(&Y)"), QMessageBox::YesRole);
        QPushButton* no = box.addButton(QString::fromUtf8("否(&N)"), QMessageBox::NoRole);
        box.setDefaultButton(yes);
        box.setEscapeButton(no);
        box.exec();
        return box.clickedButton() == yes ? IDYES : IDNO;
    }
    QPushButton* ok = box.addButton(QString::fromUtf8("确定"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
    return IDOK;
}

}  // namespace tavrol::app
