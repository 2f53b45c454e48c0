// The application object: standard display of exceptions that escape event
// handling, and the conversion error the number readers throw.
#pragma once

#include <QApplication>
#include <QString>

#include <stdexcept>
#include <string>

// Text that does not hold the number it should.
class ConversionError : public std::runtime_error {
public:
    explicit ConversionError(const std::string& message) : std::runtime_error(message) {}
};

class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);

    // Delivers the event; an exception thrown while handling it is shown
    // and the loop goes on.
    bool notify(QObject* receiver, QEvent* event) override;
};

// The error box with the exception's message; an object that is no
// std::exception shows an empty message.
void ShowException(const QString& message);
// Shows the exception being handled; call from a catch block only.
void ShowCurrentException();

// The window's font: WenQuanYi Micro Hei at the size that fits the design.
void ApplyDesignFont(QApplication& app);
