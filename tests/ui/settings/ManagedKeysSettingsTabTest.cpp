#include "CredentialsFixture.h"
#include "LoopbackHttpServer.h"
#include "TestAsync.h"
#include "credentials/ManagedKeysSettingsViewModel.h"
#include "ui/settings/ManagedKeysSettingsTab.h"
#include "ui/settings/NerimSettingsView.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QPointer>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace nerim;
using nerim::test::LoopbackHttpServer;

namespace {

bool waitUntil(const std::function<bool()> &done, int timeoutMs = 10000)
{
    return QTest::qWaitFor(done, timeoutMs);
}

class SettingsWindow : public test::CredentialsFixture {
protected:
    void SetUp() override
    {
        CredentialsFixture::SetUp();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        qputenv("NERIM_PROXY_BASE", proxy.baseUrl().toString().toUtf8());
    }

    template <typename T>
    T *child(const char *name)
    {
        T *found = view->accountTab()->findChild<T *>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    void open()
    {
        view = std::make_unique<NerimSettingsView>();
        view->show();
        test::await(view->accountTab()->viewModel()->refreshMode());
    }

    LoopbackHttpServer proxy;
    std::unique_ptr<NerimSettingsView> view;
};

} // namespace

// The window is as tall as its content in managed mode (the longest) and
// grows with a failure's result row: the field and the buttons keep their
// size; with less room than that, the page scrolls instead of squeezing.
// Return in the field does what Save & Verify does.
TEST_F(SettingsWindow, AnAccountTabThatFitsItsContentAndScrolls)
{
    keyring->setToken("tok");
    open();
    EXPECT_EQ(view->width(), NerimSettingsView::kPreferredWidth);
    const auto keepsItsSize = [&](const char *when) {
        SCOPED_TRACE(when);
        QApplication::processEvents();
        for (QWidget *control : {static_cast<QWidget *>(child<QLineEdit>("tokenField")),
                                 static_cast<QWidget *>(child<QPushButton>("saveButton")),
                                 static_cast<QWidget *>(child<QPushButton>("cancelButton"))}) {
            EXPECT_GE(control->height(), control->sizeHint().height()) << control->objectName().toStdString();
            EXPECT_GE(control->width(), control->sizeHint().width()) << control->objectName().toStdString();
        }
    };
    keepsItsSize("managed mode");
    EXPECT_TRUE(child<QLabel>("helpText")->isVisible());
    const QRect help = child<QLabel>("helpText")->geometry();
    EXPECT_GE(help.height(), child<QLabel>("helpText")->heightForWidth(help.width()));

    auto *field = child<QLineEdit>("tokenField");
    field->setText(QStringLiteral("tok-bad"));
    emit field->textEdited(field->text());
    proxy.enqueue(LoopbackHttpServer::Reply::json(401, R"({"error": "no such session"})"));
    auto *model = view->accountTab()->viewModel();
    const int before = view->height();
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_TRUE(model->isVerifying());
    ASSERT_TRUE(waitUntil([&] { return !model->isVerifying(); }));
    ASSERT_TRUE(child<QLabel>("resultTitle")->isVisible());
    keepsItsSize("after a failed check");

    // The window grows with its content.
    ASSERT_TRUE(waitUntil([&] { return view->height() > before && view->height() >= view->fittingSize().height(); }));
    QApplication::processEvents();
    view->resize(NerimSettingsView::kPreferredWidth, NerimSettingsView::kMinimumHeight);
    keepsItsSize("in a short window");
    auto *scroll = view->findChild<QScrollArea *>(QStringLiteral("accountScroll"));
    ASSERT_NE(scroll, nullptr);
    EXPECT_GT(scroll->verticalScrollBar()->maximum(), 0);
}

TEST_F(SettingsWindow, OneAccountTab)
{
    open();
    auto *tabs = view->findChild<QTabWidget *>();
    ASSERT_NE(tabs, nullptr);
    EXPECT_EQ(tabs->count(), 1);
    EXPECT_EQ(tabs->tabText(0), QStringLiteral("Nerim Account"));
    EXPECT_EQ(child<QLabel>("helpText")->textFormat(), Qt::PlainText);

    QObject owner;
    QAction *action = NerimSettingsView::createSettingsAction(&owner);
    EXPECT_EQ(action->text(), QStringLiteral("Settings\u2026"));
    EXPECT_FALSE(action->shortcut().isEmpty());
}

TEST_F(SettingsWindow, TextsAndStatesPerMode)
{
    struct Row {
        std::optional<QByteArray> token;
        QString ownKey;
        const char *modeLine;
        bool signOutVisible;
        const char *heading; // nullptr: hidden
        const char *placeholder;
    };
    const Row rows[] = {
        {QByteArray("tok"), QStringLiteral("sk"), "Current mode: Managed by Nerim", true, "Replace session token",
         "Paste a fresh Nerim session token"},
        {std::nullopt, QStringLiteral("sk"), "Current mode: Bring your own key", false, "Switch to managed keys",
         "Paste your Nerim session token"},
        {std::nullopt, QString(), "Current mode: Not configured", false, nullptr, "Paste your Nerim session token"},
    };
    for (const auto &row : rows) {
        keyring->items.clear();
        if (row.token)
            keyring->setToken(*row.token);
        credentials_testing::setCachedAnthropicKey(row.ownKey);
        open();
        SCOPED_TRACE(row.modeLine);
        EXPECT_EQ(child<QLabel>("modeLine")->text(), QString::fromUtf8(row.modeLine));
        EXPECT_EQ(child<QPushButton>("signOutButton")->isVisible(), row.signOutVisible);
        EXPECT_EQ(child<QLabel>("sectionHeading")->isVisible(), row.heading != nullptr);
        if (row.heading) {
            EXPECT_EQ(child<QLabel>("sectionHeading")->text(), QString::fromUtf8(row.heading));
        }
        auto *field = child<QLineEdit>("tokenField");
        EXPECT_EQ(field->placeholderText(), QString::fromUtf8(row.placeholder));
        EXPECT_EQ(field->echoMode(), QLineEdit::Password);
        EXPECT_TRUE(field->isEnabled());
        EXPECT_FALSE(child<QPushButton>("saveButton")->isEnabled());
        // "&&" is how a button shows a literal "&" (a single one would be a mnemonic).
        EXPECT_EQ(child<QPushButton>("saveButton")->text(), QStringLiteral("Save && Verify"));
        EXPECT_TRUE(child<QPushButton>("cancelButton")->isEnabled());
        EXPECT_FALSE(child<QLabel>("resultTitle")->isVisible());
    }
}

TEST_F(SettingsWindow, TypingSavingAndTheResultRow)
{
    open();
    auto *field = child<QLineEdit>("tokenField");
    auto *save = child<QPushButton>("saveButton");
    field->setText(QStringLiteral("   "));
    emit field->textEdited(field->text());
    EXPECT_FALSE(save->isEnabled());
    field->setText(QStringLiteral(" tok-new "));
    emit field->textEdited(field->text());
    EXPECT_TRUE(save->isEnabled());

    proxy.enqueue(LoopbackHttpServer::Reply::json(200, R"({"balance": 12345})").delayed(200));
    auto *model = view->accountTab()->viewModel();
    auto saving = model->saveAndVerify();
    EXPECT_FALSE(field->isEnabled());
    EXPECT_FALSE(save->isEnabled());
    EXPECT_EQ(save->text(), QStringLiteral("Verifying\u2026"));
    EXPECT_FALSE(child<QPushButton>("cancelButton")->isEnabled());
    test::await(std::move(saving));

    EXPECT_TRUE(child<QLabel>("resultTitle")->isVisible());
    EXPECT_EQ(child<QLabel>("resultTitle")->text(), QStringLiteral("Session verified. Managed keys are active."));
    EXPECT_EQ(child<QLabel>("resultDetail")->text(), QStringLiteral("Current balance: 12,345 credits"));
    EXPECT_EQ(field->text(), QString());
    EXPECT_EQ(child<QLabel>("modeLine")->text(), QStringLiteral("Current mode: Managed by Nerim"));
    EXPECT_TRUE(child<QPushButton>("signOutButton")->isVisible());

    child<QPushButton>("signOutButton")->click();
    test::await(model->refreshMode());
    EXPECT_FALSE(child<QLabel>("resultTitle")->isVisible());
    EXPECT_FALSE(child<QPushButton>("signOutButton")->isVisible());
    EXPECT_EQ(keyring->token(), std::nullopt);
}

TEST_F(SettingsWindow, ModeLineSaysCheckingUntilTheKeyringAnswers)
{
    keyring->setToken("tok");
    keyring->holdReads(); // the keyring has not answered yet (it may take seconds)
    view = std::make_unique<NerimSettingsView>();
    view->show();
    QApplication::processEvents();
    EXPECT_EQ(child<QLabel>("modeLine")->text(), QStringLiteral("Current mode: Checking\u2026"));
    EXPECT_FALSE(child<QLabel>("modeDescription")->isVisible());
    EXPECT_FALSE(child<QPushButton>("signOutButton")->isVisible());
    keyring->releaseReads();
    test::await(view->accountTab()->viewModel()->refreshMode());
    EXPECT_EQ(child<QLabel>("modeLine")->text(), QStringLiteral("Current mode: Managed by Nerim"));
    EXPECT_TRUE(child<QLabel>("modeDescription")->isVisible());
    EXPECT_TRUE(child<QPushButton>("signOutButton")->isVisible());
}

namespace {

// The WCAG contrast ratio of two opaque colours.
double contrast(const QColor &a, const QColor &b)
{
    const auto luminance = [](const QColor &c) {
        const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

} // namespace

// The menu item opens the one settings window as a dialog of the window it
// was made for, centred over it, in the design's type and ink; its secondary
// lines stay readable.
TEST_F(SettingsWindow, OpensCentredOverTheWindowInTheDesignsFaceAndInk)
{
    QWidget main;
    // Small enough that the centred window fits on the offscreen screen.
    main.setGeometry(100, 100, 600, 440);
    main.show();
    QAction *action = NerimSettingsView::createSettingsAction(&main);
    action->trigger();
    QApplication::processEvents();
    NerimSettingsView *settings = nullptr;
    for (QWidget *top : QApplication::topLevelWidgets())
        if (auto *found = qobject_cast<NerimSettingsView *>(top); found && found->isVisible())
            settings = found;
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(settings->parentWidget(), &main);
    EXPECT_TRUE(settings->windowFlags().testFlag(Qt::Dialog));
    const QPoint offCentre = settings->geometry().center() - main.frameGeometry().center();
    EXPECT_LE(offCentre.manhattanLength(), 4) << offCentre.x() << "," << offCentre.y();

    EXPECT_EQ(settings->font().family(), QStringLiteral("Inter"));
    auto *modeLine = settings->findChild<QLabel *>(QStringLiteral("modeLine"));
    ASSERT_NE(modeLine, nullptr);
    EXPECT_EQ(modeLine->font().family(), QStringLiteral("Inter"));
    const QColor background = settings->palette().color(QPalette::Window);
    EXPECT_GE(contrast(modeLine->palette().color(QPalette::WindowText), background), 4.5);
    EXPECT_GE(contrast(settings->palette().color(QPalette::WindowText), background), 7.0);

    // A second trigger brings the same window forward.
    action->trigger();
    QApplication::processEvents();
    int shown = 0;
    for (QWidget *top : QApplication::topLevelWidgets())
        shown += qobject_cast<NerimSettingsView *>(top) && top->isVisible() ? 1 : 0;
    EXPECT_EQ(shown, 1);
    settings->close();
    QApplication::processEvents();
}

// Escape closes the window from wherever the focus is in it (the token field
// included), as the desktop's dialogs do; other keys leave it open.
TEST_F(SettingsWindow, EscapeClosesIt)
{
    QWidget main;
    main.setGeometry(100, 100, 600, 440);
    main.show();
    QPointer<QWidget> settings = NerimSettingsView::showSettingsWindow(&main);
    ASSERT_FALSE(settings.isNull());
    QApplication::processEvents();
    auto *field = settings->findChild<QLineEdit *>(QStringLiteral("tokenField"));
    ASSERT_NE(field, nullptr);
    field->setFocus();
    QTest::keyClicks(field, QStringLiteral("abc"));
    QTest::keyClick(field, Qt::Key_Escape, Qt::ShiftModifier);
    EXPECT_TRUE(settings->isVisible());
    QTest::keyClick(field, Qt::Key_Escape);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(settings.isNull() || !settings->isVisible());

    // With the focus on the window itself too.
    settings = NerimSettingsView::showSettingsWindow(&main);
    QApplication::processEvents();
    QTest::keyClick(settings.data(), Qt::Key_Escape);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(settings.isNull() || !settings->isVisible());
}
