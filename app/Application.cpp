#include "Application.h"

#include <QFont>

#include <exception>

#include "MainFrm.h"
#include "MessageBoxes.h"

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Tavrol"));
    setApplicationVersion(QStringLiteral("1.0.0.0"));
    setQuitOnLastWindowClosed(true);
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ShowCurrentException();
    }
    return false;
}

void ShowException(const QString& message) {
    using namespace tavrol::app;
    MessageBoxes().Show(MainForm, message, QStringLiteral("Tavrol"), MB_OK | MB_ICONERROR, QString());
}

void ShowCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        ShowException(QString::fromUtf8(e.what()));
    } catch (...) {
        ShowException(QString());
    }
}

void ApplyDesignFont(QApplication& app) {
    // The design's 8-point face has no CJK glyphs on Linux; this face at
    // 12 pixels keeps every caption inside its control's design size.
    QFont font(QStringLiteral("WenQuanYi Micro Hei"));
    font.setPixelSize(12);
    font.setStyleHint(QFont::SansSerif);
    app.setFont(font);
}
