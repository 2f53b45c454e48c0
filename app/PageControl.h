// The page control: tabbed pages whose tabs can be hidden one by one. With
// every tab hidden it shows nothing at all, not even the page frame.
#pragma once

#include <QTabBar>
#include <QTabWidget>

class PageControl : public QTabWidget {
public:
    explicit PageControl(QWidget* parent = nullptr) : QTabWidget(parent) { setTabBar(new CompactTabBar(this)); }

    bool AnyTabVisible() const {
        for (int i = 0; i < count(); ++i)
            if (isTabVisible(i)) return true;
        return false;
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        if (AnyTabVisible()) QTabWidget::paintEvent(event);
    }

private:
    // Tabs a little lower than the style's, so the pages keep the height
    // the design gives their contents.
    class CompactTabBar : public QTabBar {
    public:
        using QTabBar::QTabBar;

    protected:
        QSize tabSizeHint(int index) const override {
            const QSize size = QTabBar::tabSizeHint(index);
            return QSize(size.width(), size.height() - 3);
        }
    };
};
