#include "window_fixture.h"

#include <QCoreApplication>
#include <QTest>

#include <cstdlib>
#include <filesystem>

#include "registers.h"

namespace tavrol::apptest {

int FakeMessageBoxes::Show(QWidget*, const QString& text, const QString& caption, unsigned flags,
                           const QString& details) {
    shown.push_back({text, caption, flags, details});
    ++open;
    if (onShow) onShow(shown.back());
    --open;
    if (!answers.empty()) {
        const int answer = answers.front();
        answers.pop_front();
        return answer;
    }
    return (flags & app::MB_BUTTON_MASK) == app::MB_YESNO ? app::IDNO : app::IDOK;
}

void FakeMessageBoxes::CloseOpenBoxes() {
    if (open > 0) ++closedWhileOpen;
}

QStringList FakeMessageBoxes::Texts() const {
    QStringList texts;
    for (const ShownBox& box : shown) texts << box.text;
    return texts;
}

QString RegisterName(std::uint32_t id) {
    switch (id) {
        case REG_USART_BAUD: return "USART_BAUD";
        case REG_ART: return "ART";
        case REG_ABOM: return "ABOM";
        case REG_CAN_BAUD: return "CAN_BAUD";
        case REG_FACTORY_RESET: return "FACTORY_RESET";
        case REG_CPUID_LO: return "CPUID_LO";
        case REG_CPUID_HI: return "CPUID_HI";
        default:
            if (id >= REG_FILTER_0 && id <= REG_FILTER_13) return QString("FILTER_%1").arg(id - REG_FILTER_0);
            return QString("0x%1").arg(id, 0, 16);
    }
}

void WindowTest::SetUp() {
    const std::string xdg = dir.Path() + "/run";
    std::filesystem::create_directories(xdg);
    std::filesystem::permissions(xdg, std::filesystem::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
    std::filesystem::create_directories(dir.Path() + "/no-sys");
    std::filesystem::create_directories(dir.Path() + "/no-dev");
    std::string error;
    ASSERT_TRUE(EnsurePortDirectory(PortDirectory(), &error)) << error;
    app::SetMessageBoxService(&boxes);
    TMainForm::SetTransactionTimeoutForTesting(250);
}

void WindowTest::TearDown() {
    form.reset();
    adapter.reset();
    app::SetMessageBoxService(nullptr);
    TMainForm::SetTransactionTimeoutForTesting(1000);
}

PortSources WindowTest::Sources() const {
    return PortSources{PortDirectory(), dir.Path() + "/no-sys", dir.Path() + "/no-dev"};
}

void WindowTest::StartAdapter(sim::Options options) {
    options.portDirectory = PortDirectory();
    adapter = std::make_unique<sim::VirtualAdapter>(options);
    std::string error;
    ASSERT_TRUE(adapter->Start(&error)) << error;
}

void WindowTest::CreateWindow() {
    form = std::make_unique<TMainForm>(nullptr, Sources());
    QObject::connect(form->RzStatusBar1, &QStatusBar::messageChanged, [this](const QString& text) {
        if (!text.isEmpty()) statusMessages << text;
    });
}

bool WindowTest::SelectAdapterPort() {
    const int item = form->ComboBoxComPorts->findText(QString("COM%1").arg(adapter->ComNumber()));
    form->ComboBoxComPorts->setCurrentIndex(item);
    return item >= 0;
}

void WindowTest::SelectRate(int rate) {
    form->InputUSARTBaud->setCurrentIndex(form->InputUSARTBaud->findText(QString::number(rate)));
}

void WindowTest::ClickConnect() { form->ButtonConnect->click(); }

bool WindowTest::WaitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 10000); }

QStringList WindowTest::PortItems() const {
    QStringList items;
    for (int i = 0; i < form->ComboBoxComPorts->count(); ++i) items << form->ComboBoxComPorts->itemText(i);
    return items;
}

void WindowTest::ExpectDisconnectedLook() const {
    EXPECT_FALSE(form->Channel.IsOpen());
    EXPECT_EQ(form->ButtonConnect->text(), U("打开串口"));
    EXPECT_FALSE(form->pgc1->isTabVisible(0));
    EXPECT_FALSE(form->pgc1->isTabVisible(1));
    EXPECT_TRUE(form->ComboBoxComPorts->isEnabled());
    EXPECT_TRUE(form->ButtonRefresh->isEnabled());
    EXPECT_TRUE(form->Label1->isEnabled());
    EXPECT_TRUE(form->Label2->isEnabled());
    EXPECT_FALSE(form->Label3->isEnabled());
    EXPECT_FALSE(form->LabelCPUID->isEnabled());
    EXPECT_TRUE(form->InputUSARTBaud->isEnabled());
    EXPECT_EQ(form->LabelCPUID->text(), "");
}

void WindowTest::ConnectAt(int rate) {
    ASSERT_TRUE(SelectAdapterPort());
    SelectRate(rate);
    ClickConnect();
    ASSERT_TRUE(form->Channel.IsOpen()) << boxes.Texts().join(" | ").toStdString();
    ASSERT_EQ(form->ButtonConnect->text(), QString::fromUtf8("关闭串口"));
}

QString WindowTest::Describe(const CanMessage& request) {
    QString line = (request.Remote ? "R " : "W ") + RegisterName(request.Id);
    if (!request.Remote) {
        for (int i = 0; i < request.Dlc && i < 8; ++i) line += QString(" %1").arg(request.Data[i], 2, 16, QChar('0'));
    }
    return line;
}

QStringList WindowTest::Requests() const {
    QStringList lines;
    for (const sim::Exchange& exchange : adapter->Log()) lines << Describe(exchange.request);
    return lines;
}

QString WindowTest::Cell(int row, FilterColumn* column) const {
    const QVariant value = form->cxGrid1BandedTableView1->Value(row, column);
    return value.isValid() ? value.toString() : QString("<empty>");
}

}  // namespace tavrol::apptest
