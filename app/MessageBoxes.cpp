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

int ModalMessageBoxService::Show(QWidget* owner, const QString& text, const QString& caption, unsigned flags) {
    QMessageBox box(owner);
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowTitle(caption);
    box.setText(text);
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
