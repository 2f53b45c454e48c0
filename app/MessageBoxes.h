// Every message box of the window goes through one service, so that the
// program shows real modal boxes while tests see and answer each one.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>

#include <vector>

class QWidget;

namespace tavrol::app {

// Buttons and icons, combined into one flags value.
inline constexpr unsigned MB_OK = 0x00;
inline constexpr unsigned MB_YESNO = 0x04;
inline constexpr unsigned MB_ICONERROR = 0x10;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;
inline constexpr unsigned MB_BUTTON_MASK = 0x0F;
inline constexpr unsigned MB_ICON_MASK = 0xF0;

// The button that closed the box.
inline constexpr int IDOK = 1;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

class MessageBoxService {
public:
    virtual ~MessageBoxService() = default;
    // Shows a modal box over `owner` and returns the button pressed.
    // `details`, when not empty, is a second paragraph under the text.
    virtual int Show(QWidget* owner, const QString& text, const QString& caption, unsigned flags,
                     const QString& details) = 0;
    // Closes every box open now as if dismissed without an answer (OK, or No
    // for a question), so that the program can end.
    virtual void CloseOpenBoxes() = 0;
};

// The service in use: a real modal box unless another one was installed.
MessageBoxService& MessageBoxes();
// Installs `service` (not owned); null restores the real boxes.
void SetMessageBoxService(MessageBoxService* service);

// The real boxes: QMessageBox with the Chinese button captions.
class ModalMessageBoxService : public MessageBoxService {
public:
    int Show(QWidget* owner, const QString& text, const QString& caption, unsigned flags,
             const QString& details) override;
    void CloseOpenBoxes() override;

private:
    // The boxes open now, innermost last.
    std::vector<QPointer<QMessageBox>> open_;
};

}  // namespace tavrol::app
