// The prompt bar over a real controller with the fake agent provider: typing
// and sending, the guards against sending twice, voice input and its
// notices, the model picker, and a prompt that reaches a pane.
#include "ui/panes/PaneViewsFixture.h"

#include "agents/ModelPreferenceState.h"
#include "ui/design/CaretBlinkRest.h"
#include "ui/design/Colors.h"
#include "ui/design/MotionPreferences.h"
#include "ui/panes/AgentColumnView.h"
#include "ui/panes/AgentPaneView.h"
#include "ui/panes/AgentTargetPill.h"
#include "ui/panes/StdoutRunView.h"
#include "ui/panes/TranscriptView.h"
#include "ui/workspace/ModelPickerPill.h"
#include "ui/workspace/PromptBarButtons.h"
#include "ui/workspace/PromptBarField.h"
#include "ui/workspace/PromptBarNotice.h"
#include "ui/workspace/PromptBarView.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QStyleHints>
#include <QToolButton>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace nerim::test {
namespace {

class PromptBarViewTest : public PaneViewsTest {
protected:
    PromptBarView *bar = nullptr;
    QList<VoiceState::DeniedAuthorization> settingsOpened;
    const QString unavailable = u"Voice input needs a Groq key in ~/keys.json."_s;

    // Voice input as the controller runs it, over the fake transcriber.
    static QCoro::Task<> startVoice(QPointer<ProjectCanvasViewModel> canvas, std::shared_ptr<FakeTranscriber> voice)
    {
        canvas->setVoiceState(VoiceState::requestingPermissions());
        QCoro::Task<> starting = voice->start();
        co_await std::move(starting);
        if (canvas)
            canvas->setVoiceState(VoiceState::recording());
    }
    static QCoro::Task<> stopVoice(QPointer<ProjectCanvasViewModel> canvas, std::shared_ptr<FakeTranscriber> voice)
    {
        if (canvas->voiceState() != VoiceState::recording())
            co_return;
        canvas->setVoiceState(VoiceState::transcribing());
        QCoro::Task<QString> stopping = voice->stopRecordingAndAwaitTranscript();
        const QString text = co_await std::move(stopping);
        if (!canvas)
            co_return;
        canvas->insertTranscript(text);
        canvas->setVoiceState(VoiceState::idle());
    }

    PromptBarView &showBar()
    {
        PromptBarView::Options options;
        // The controller's own voice operations are still being built; these
        // play its states over the fake transcriber.
        const QPointer<ProjectCanvasViewModel> guarded(canvas.get());
        options.startVoice = [guarded, voice = transcriber] { return startVoice(guarded, voice); };
        options.stopVoice = [guarded, voice = transcriber] { return stopVoice(guarded, voice); };
        options.voiceUnavailableReason = unavailable;
        options.openSettings = [this](VoiceState::DeniedAuthorization denied) { settingsOpened.append(denied); };
        bar = show(new PromptBarView(canvas.get(), options));
        return *bar;
    }

    void type(const QString &text) { QTest::keyClicks(bar->field(), text); }
    void pressReturn(Qt::KeyboardModifiers modifiers = {}) { QTest::keyClick(bar->field(), Qt::Key_Return, modifiers); }

    // One task pane with a finished run, focused.
    AgentPaneState *idlePane() { return canvas->spawnPane(QString(), AgentRole::unspecified); }
};

TEST_F(PromptBarViewTest, ReturnSendsOnceAndShiftReturnStartsALine)
{
    open();
    showBar();
    AgentPaneState *pane = idlePane();
    provider->enqueue(FakeAgentProvider::events({AgentOutput::stdoutLine(u"ok"_s)}));

    type(u"first line"_s);
    pressReturn(Qt::ShiftModifier);
    type(u"second"_s);
    // The keypad's Enter with Shift is a new line too.
    QTest::keyClick(bar->field(), Qt::Key_Enter, Qt::ShiftModifier | Qt::KeypadModifier);
    type(u"third"_s);
    EXPECT_EQ(canvas->inputPrompt(), u"first line\nsecond\nthird"_s);
    EXPECT_TRUE(provider->spawnCalls().isEmpty());
    EXPECT_TRUE(bar->sendButton()->isEnabled());

    pressReturn();
    ASSERT_TRUE(waitUntil([&] { return provider->spawnCalls().size() == 1; }));
    EXPECT_EQ(provider->spawnCalls()[0].task, u"first line\nsecond\nthird"_s);
    EXPECT_TRUE(bar->field()->toPlainText().isEmpty());
    ASSERT_TRUE(settle(pane));
    spinEventLoop();
    EXPECT_EQ(provider->spawnCalls().size(), 1);
}

TEST_F(PromptBarViewTest, SpacesOnlyDisableTheButtonButReturnStillAsksTheController)
{
    open();
    showBar();
    idlePane();
    type(u"   "_s);
    EXPECT_FALSE(bar->sendButton()->isEnabled());
    EXPECT_EQ(bar->sendButton()->symbolColor(), (TokenColor{NmColor::inkTertiary, 0.6}));
    EXPECT_EQ(bar->sendButton()->disc(), (TokenColor{NmColor::hairline, 0.35}));
    pressReturn();
    spinEventLoop();
    // The controller dropped the empty prompt: nothing sent, nothing cleared.
    EXPECT_TRUE(provider->spawnCalls().isEmpty());
    EXPECT_FALSE(canvas->justSubmitted());
    EXPECT_EQ(bar->field()->toPlainText(), u"   "_s);
}

TEST_F(PromptBarViewTest, TheCheckmarkIgnoresClicks)
{
    // A checkmark that stays up, so the test can click it.
    open();
    canvas.reset();
    CanvasServices longFeedback = services();
    longFeedback.justSubmittedDuration = 1h;
    canvas = std::make_unique<ProjectCanvasViewModel>(u"project-id"_s, project, u"Project"_s, provider, nullptr,
                                                      longFeedback);
    await(canvas->bootstrap());
    showBar();
    AgentPaneState *pane = idlePane();
    provider->enqueue(FakeAgentProvider::events({}));
    provider->enqueue(FakeAgentProvider::events({}));

    type(u"one"_s);
    QTest::mouseClick(bar->sendButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return provider->spawnCalls().size() == 1; }));
    ASSERT_TRUE(settle(pane));
    ASSERT_TRUE(canvas->justSubmitted());
    EXPECT_EQ(bar->sendButton()->symbol(), u"checkmark"_s);

    type(u"two"_s);
    EXPECT_FALSE(bar->sendButton()->isEnabled());
    QTest::mouseClick(bar->sendButton(), Qt::LeftButton);
    spinEventLoop();
    EXPECT_EQ(provider->spawnCalls().size(), 1);
    EXPECT_EQ(canvas->inputPrompt(), u"two"_s);
}

// The Deploy pane takes the user's answers while its deploy runs; once the
// deploy is over, Enter on it starts a new agent, and the empty field says so
// instead of offering the Deploy pane.
TEST_F(PromptBarViewTest, TheHintOfTheDeployPaneFollowsItsSession)
{
    const QString tools = makeTempDir(u"tools"_s);
    QDir().mkpath(tools + u"/node_modules/.bin"_s);
    const QString vercel = tools + u"/node_modules/.bin/vercel"_s;
    writeFile(vercel, "#!/bin/sh\n");
    QFile::setPermissions(vercel, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    CanvasServices deployServices = services();
    deployServices.deployToolsFolder = tools;
    canvas = std::make_unique<ProjectCanvasViewModel>(u"project-id"_s, project, u"Project"_s, provider, nullptr,
                                                      deployServices);
    await(canvas->bootstrap());
    showBar();
    provider->enqueue(FakeAgentProvider::running(
        {AgentOutput::stdoutLine(u"[NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | Nerim needs it to publish"_s)}));
    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::fresh));
    ASSERT_TRUE(waitUntil([&] {
        return canvas->deploySession().state().phase().kind() == DeploySessionState::Phase::Kind::awaitingToken;
    }));
    ASSERT_EQ(canvas->panes().size(), 1);
    canvas->focusPane(canvas->panes().first()->id());
    settleUi();
    EXPECT_TRUE(bar->field()->placeholder().startsWith(u"Deploy"_s) ||
                bar->field()->placeholder().startsWith(u"Prompt Deploy"_s))
        << bar->field()->placeholder().toStdString();

    await(canvas->deploySession().cancel());
    ASSERT_TRUE(waitUntil([&] { return !canvas->deploySession().state().phase().isActive(); }));
    settleUi();
    EXPECT_EQ(bar->field()->placeholder(), u"Type or hold the mic · try \"spawn agent\" or \"open browser\""_s);
    // And Enter does start a new agent.
    provider->enqueue(FakeAgentProvider::events({}));
    type(u"make the header blue"_s);
    pressReturn();
    ASSERT_TRUE(waitUntil([&] { return canvas->panes().size() == 2; }));
    EXPECT_FALSE(canvas->panes().last()->isSystemPane());
}

TEST_F(PromptBarViewTest, WhileTheRouterDecidesNeitherReturnNorTheButtonSendsAgain)
{
    open();
    showBar();
    AgentPaneState *first = idlePane();
    idlePane();
    canvas->focusPane(first->id());
    router.hold = true;
    provider->enqueue(FakeAgentProvider::events({}));
    provider->enqueue(FakeAgentProvider::events({}));

    type(u"make it blue"_s);
    pressReturn();
    ASSERT_TRUE(waitUntil([&] { return router.calls == 1; }));
    ASSERT_TRUE(canvas->isSubmitting());
    // The text stays while the router decides; the bar must not send it again.
    EXPECT_EQ(bar->field()->toPlainText(), u"make it blue"_s);
    EXPECT_FALSE(bar->sendButton()->isEnabled());
    pressReturn();
    QTest::mouseClick(bar->sendButton(), Qt::LeftButton);
    spinEventLoop();
    EXPECT_EQ(router.calls, 1);

    router.hold = false;
    ASSERT_TRUE(waitUntil([&] { return provider->spawnCalls().size() == 1; }));
    ASSERT_TRUE(settle(first));
    spinEventLoop();
    EXPECT_EQ(provider->spawnCalls().size(), 1);
    EXPECT_FALSE(canvas->isSubmitting());
    EXPECT_TRUE(bar->field()->toPlainText().isEmpty());
}

TEST_F(PromptBarViewTest, DiscsChangeColourWithTheSpringOrAtOnceUnderReduceMotion)
{
    open();
    showBar();
    idlePane();
    settleUi();
    PromptBarDiscButton *send = bar->sendButton();
    const QColor pale = send->shownDiscColor();
    const QColor accent = qColor(NmColor::accent);

    MotionPreferences::shared().setReduceMotion(false);
    type(u"x"_s);
    EXPECT_EQ(send->disc(), (TokenColor{NmColor::accent, 1.0}));
    // The disc starts from the pale colour and ends exactly on the accent.
    EXPECT_NE(send->shownDiscColor(), accent);
    ASSERT_TRUE(waitUntil([&] { return send->shownDiscColor() == accent; }));

    MotionPreferences::shared().setReduceMotion(true);
    QTest::keyClick(bar->field(), Qt::Key_Backspace);
    EXPECT_EQ(send->shownDiscColor(), pale);
}

TEST_F(PromptBarViewTest, TheFocusedFieldDrawsItsCaretInTheAccent)
{
    open();
    showBar();
    idlePane();
    bar->field()->setFocus();
    ASSERT_TRUE(waitUntil([&] { return bar->field()->hasFocus(); }));
    // Typing shows the caret and starts its blinking over.
    type(u"a"_s);
    ASSERT_TRUE(bar->field()->showsCaret());
    const QImage image = bar->field()->viewport()->grab().toImage();
    const QRect caret = bar->field()->cursorRect();
    const qreal ratio = image.devicePixelRatio();
    const QColor drawn = image.pixelColor(QPoint(int(caret.left() * ratio), int(caret.center().y() * ratio)));
    EXPECT_EQ(drawn.rgb(), PromptBarField::caretColor().rgb());
    // Without focus there is no caret.
    bar->field()->clearFocus();
    EXPECT_FALSE(bar->field()->showsCaret());
}

// What the screen shows of the field: the window's flushed pixels, not a
// fresh rendering (which would repaint everything and hide a missed repaint).
QImage shownField(PromptBarField *field)
{
    QWidget *top = field->window();
    const QImage window = top->screen()->grabWindow(top->winId()).toImage();
    const qreal ratio = window.devicePixelRatio();
    const QRect area(field->viewport()->mapTo(top, QPoint(0, 0)), field->viewport()->size());
    return window.copy(QRect(area.topLeft() * ratio, area.size() * ratio));
}

// The empty field's hint follows the focused pane's status on screen at once:
// busy while it works, and back to the same pixels when it is done.
TEST_F(PromptBarViewTest, TheShownHintFollowsThePanesStatus)
{
    open();
    showBar();
    AgentPaneState *pane = idlePane();
    bar->field()->clearFocus();
    settleUi();
    const QImage idle = shownField(bar->field());
    ASSERT_FALSE(bar->field()->placeholder().contains(u"busy"_s));

    pane->setStatus(AgentStatus::working);
    settleUi();
    EXPECT_TRUE(bar->field()->placeholder().contains(u"busy"_s));
    const QImage busy = shownField(bar->field());
    EXPECT_TRUE(busy != idle) << "the old hint is still on screen";

    pane->setStatus(AgentStatus::done);
    settleUi();
    EXPECT_TRUE(shownField(bar->field()) == idle) << "the busy hint is still on screen";
}

// After a while without input the caret stops blinking (it stays shown, and
// nothing repaints the field); the next key makes it blink again with the
// desktop's flash time.
TEST_F(PromptBarViewTest, TheCaretRestsWithoutInputAndBlinksAgainOnAKey)
{
    open();
    showBar();
    idlePane();
    CaretBlinkRest &rest = CaretBlinkRest::shared();
    const int flashTime = rest.awakeFlashTime();
    ASSERT_GT(flashTime, 0);
    rest.setTimeout(300ms);
    const auto restore = qScopeGuard([&rest] { rest.setTimeout(CaretBlinkRest::defaultTimeout); });
    bar->field()->setFocus();
    ASSERT_TRUE(waitUntil([&] { return bar->field()->hasFocus(); }));
    type(u"a"_s);
    EXPECT_FALSE(rest.isResting());
    ASSERT_TRUE(waitUntil([&] { return rest.isResting(); }));
    EXPECT_EQ(QGuiApplication::styleHints()->cursorFlashTime(), 0);
    EXPECT_TRUE(bar->field()->showsCaret());

    // Two blinks' worth of waiting paints nothing.
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject *, QEvent *event) override
        {
            paints += event->type() == QEvent::Paint ? 1 : 0;
            return false;
        }
    } counter;
    settleUi();
    bar->field()->viewport()->installEventFilter(&counter);
    QTest::qWait(flashTime + 100);
    EXPECT_EQ(counter.paints, 0);
    EXPECT_TRUE(bar->field()->showsCaret());

    type(u"b"_s);
    EXPECT_FALSE(rest.isResting());
    EXPECT_EQ(QGuiApplication::styleHints()->cursorFlashTime(), flashTime);
    // (Longer than a blink before it rests again, to see the caret go off.)
    rest.setTimeout(CaretBlinkRest::defaultTimeout);
    ASSERT_TRUE(waitUntil([&] { return !bar->field()->showsCaret(); }));
    bar->field()->viewport()->removeEventFilter(&counter);
}

TEST_F(PromptBarViewTest, FieldGrowsToFourLinesThenScrolls)
{
    open();
    showBar();
    type(u"a"_s);
    const int one = bar->field()->height();
    EXPECT_GE(one, 28);
    pressReturn(Qt::ShiftModifier);
    type(u"b"_s);
    const int two = bar->field()->height();
    EXPECT_GT(two, one);
    for (const QString &line : {u"c"_s, u"d"_s}) {
        pressReturn(Qt::ShiftModifier);
        type(line);
    }
    const int four = bar->field()->height();
    EXPECT_GT(four, two);
    for (const QString &line : {u"e"_s, u"f"_s, u"g"_s}) {
        pressReturn(Qt::ShiftModifier);
        type(line);
    }
    EXPECT_EQ(bar->field()->height(), four);
    EXPECT_LE(four, 96);
}

TEST_F(PromptBarViewTest, EveryChangeOfTheTextIsSavedAsTheDraft)
{
    open();
    showBar();
    type(u"keep this"_s);
    const QString draft = canvas->dataFolder() + u"/draft.txt"_s;
    ASSERT_TRUE(waitUntil([&] {
        SerialFileWriter::shared().flush();
        QFile file(draft);
        return file.open(QIODevice::ReadOnly) && file.readAll() == "keep this";
    }));
}

TEST_F(PromptBarViewTest, VoiceInputAndItsNotices)
{
    openWithVoice();
    showBar();
    transcriber->transcript = u"add a footer"_s;
    PromptBarDiscButton *mic = bar->micButton();
    EXPECT_TRUE(mic->isEnabled());
    EXPECT_EQ(mic->toolTip(), u"Click to talk · double-tap ⇧ (Right Shift) to talk hands-free"_s);

    QTest::mouseClick(mic, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return canvas->voiceState() == VoiceState::recording(); }));
    EXPECT_EQ(mic->symbol(), u"mic.fill"_s);
    EXPECT_FALSE(bar->field()->isEnabled());
    EXPECT_EQ(bar->field()->placeholder(), u"Listening…"_s);

    // A second click ends the recording; the text lands in the field, which
    // takes the focus with the caret after the last character.
    QTest::mouseClick(mic, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return canvas->voiceState() == VoiceState::idle(); }));
    spinEventLoop();
    EXPECT_EQ(bar->field()->toPlainText(), u"add a footer"_s);
    EXPECT_TRUE(bar->field()->hasFocus());
    EXPECT_EQ(bar->field()->textCursor().position(), 12);
    EXPECT_TRUE(bar->isFieldFocused());

    // A refused microphone: the notice, Settings opened on request (the notice
    // stays), then dismissed.
    canvas->setVoiceState(VoiceState::permissionDenied(VoiceState::DeniedAuthorization::microphone));
    PromptBarNotice *notice = bar->notice();
    ASSERT_TRUE(notice->isVisible());
    EXPECT_EQ(notice->textLabel()->text(), u"Microphone access is off. Enable it in Settings to use voice."_s);
    EXPECT_EQ(mic->toolTip(), u"Voice permission needed — open Settings to enable it"_s);
    QTest::mouseClick(notice->findChild<QPushButton *>(u"openSettingsButton"_s), Qt::LeftButton);
    EXPECT_EQ(settingsOpened, QList<VoiceState::DeniedAuthorization>{VoiceState::DeniedAuthorization::microphone});
    EXPECT_TRUE(notice->isVisible());
    QTest::mouseClick(notice->findChild<QToolButton *>(u"dismissButton"_s), Qt::LeftButton);
    EXPECT_EQ(canvas->voiceState(), VoiceState::idle());
    EXPECT_FALSE(notice->isVisible());

    // Any other failure: its message, literally, and no Settings button.
    canvas->setVoiceState(VoiceState::error(u"Transcription failed: <img src=x>"_s));
    ASSERT_TRUE(notice->isVisible());
    EXPECT_EQ(notice->textLabel()->textFormat(), Qt::PlainText);
    EXPECT_EQ(notice->textLabel()->text(), u"Transcription failed: <img src=x>"_s);
    EXPECT_FALSE(notice->findChild<QPushButton *>(u"openSettingsButton"_s)->isVisible());
    // Clicking the microphone again moves the state on, which removes the notice.
    QTest::mouseClick(mic, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return canvas->voiceState() == VoiceState::recording(); }));
    EXPECT_FALSE(notice->isVisible());
    QTest::mouseClick(mic, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return canvas->voiceState() == VoiceState::idle(); }));
}

TEST_F(PromptBarViewTest, DictationIntoThePlansDraftLeavesTheFocusWhereItIs)
{
    openWithVoice();
    showBar();
    canvas->setInputPrompt(u"earlier words"_s);
    transcriber->transcript = u"a plan for the bakery"_s;
    auto *elsewhere = new QLineEdit(bar->window());
    elsewhere->show();

    QTest::mouseClick(bar->micButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return canvas->voiceState() == VoiceState::recording(); }));
    // The Plans draft field has the keyboard: the words go there.
    canvas->plan().setIsVisible(true);
    canvas->plan().setDraftFieldFocused(true);
    elsewhere->setFocus(Qt::OtherFocusReason);
    QTest::mouseClick(bar->micButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return canvas->voiceState() == VoiceState::idle(); }));
    spinEventLoop();
    EXPECT_EQ(canvas->plan().draftVision(), u"a plan for the bakery"_s);
    EXPECT_EQ(canvas->inputPrompt(), u"earlier words"_s);
    EXPECT_FALSE(bar->field()->hasFocus());
}

TEST_F(PromptBarViewTest, ARecordingStaysStoppableWhenAPaneMustBeChosen)
{
    openWithVoice();
    showBar();
    QTest::mouseClick(bar->micButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return canvas->voiceState() == VoiceState::recording(); }));

    // Two panes arrive with none focused (restored, say) while recording.
    for (int number : {1, 2})
        canvas->appendPane(new AgentPaneState(QUuid::createUuid(), u"agent-%1"_s.arg(number),
                                              u"Claude %1"_s.arg(number), number, false, AgentRole::unspecified, {}));
    ASSERT_TRUE(canvas->needsPaneSelection());
    EXPECT_EQ(bar->field()->placeholder(), u"Click an agent to send it a prompt"_s);
    EXPECT_TRUE(bar->micButton()->isEnabled());

    QTest::mouseClick(bar->micButton(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return canvas->voiceState() == VoiceState::idle(); }));
    EXPECT_EQ(transcriber->stops, 1);
    // Back at rest, a new recording waits for a pane to be chosen.
    EXPECT_FALSE(bar->micButton()->isEnabled());
    EXPECT_FALSE(bar->sendButton()->isEnabled());
    EXPECT_FALSE(bar->field()->isEnabled());
}

TEST_F(PromptBarViewTest, WithoutATranscriberTheMicrophoneSaysWhatVoiceNeeds)
{
    open();
    showBar();
    EXPECT_FALSE(bar->micButton()->isEnabled());
    EXPECT_EQ(bar->micButton()->toolTip(), unavailable);
    EXPECT_EQ(bar->micButton()->symbolColor(), (TokenColor{NmColor::inkTertiary, 0.55}));
    // The default reason names the key file.
    EXPECT_TRUE(PromptBarView::defaultVoiceUnavailableReason().startsWith(u"Voice input needs a Groq key in "_s));
    EXPECT_TRUE(PromptBarView::defaultVoiceUnavailableReason().endsWith(u"api-keys.json."_s));
}

TEST_F(PromptBarViewTest, ModelPickerKeepsTheLastOfTwoQuickPicks)
{
    open();
    showBar();
    ModelPreferenceState &model = canvas->modelPreference();
    ASSERT_EQ(model.choice(), defaultModelChoice);
    const QString path = model.persistenceURL().toLocalFile();
    ASSERT_FALSE(path.isEmpty());

    std::unique_ptr<QMenu> menu(bar->modelPill()->buildMenu(nullptr));
    ASSERT_EQ(menu->actions().size(), 8);
    const auto pick = [&](const QString &title) {
        for (QAction *action : menu->actions())
            if (action->text() == title)
                action->trigger();
    };
    // The current model again: nothing changes, nothing is written.
    pick(u"Sonnet 4.6"_s);
    SerialFileWriter::shared().flush();
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_FALSE(bar->modelPill()->look().tinted);

    pick(u"Opus 4.7"_s);
    EXPECT_EQ(bar->modelPill()->look().shownTitle(), u"OPUS 4.7"_s);
    EXPECT_TRUE(bar->modelPill()->look().tinted);
    pick(u"Haiku 4.5"_s);
    SerialFileWriter::shared().flush();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(ModelPreferenceState::decodeSnapshot(file.readAll()), ModelChoice::haiku45);

    // The pill is drawn on the accent tint; the starting model is not.
    const auto centerLeft = [&](MenuPill *pill) {
        const QImage image = pill->grab().toImage();
        return image.pixelColor(QPoint(image.width() / 2, int(image.height() * 0.2)));
    };
    const QColor tinted = centerLeft(bar->modelPill());
    pick(u"Sonnet 4.6"_s);
    const QColor plain = centerLeft(bar->modelPill());
    const QColor accent = qColor(NmColor::accent);
    const auto distance = [](QColor a, QColor b) {
        return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) + std::abs(a.blue() - b.blue());
    };
    EXPECT_LT(distance(tinted, accent), distance(plain, accent));
}

TEST_F(PromptBarViewTest, TheTargetPillMenuChoosesWhereThePromptGoes)
{
    open();
    showBar();
    AgentPaneState *atlas = idlePane();
    atlas->setAgentName(u"R&D <b>"_s);
    auto *deploy = new AgentPaneState(QUuid::createUuid(), u"deploy"_s, u"Deploy"_s, 0, true, AgentRole::code, {});
    canvas->appendPane(deploy);

    AgentTargetPill *pill = bar->targetPill();
    EXPECT_EQ(pill->toolTip(), u"Choose which agent receives your next prompt"_s);
    std::unique_ptr<QMenu> menu(pill->buildMenu(nullptr));
    QStringList entries;
    QList<QAction *> items;
    for (QAction *action : menu->actions()) {
        if (action->isSeparator() && action->text().isEmpty())
            continue;
        entries.append(action->text());
        if (!action->isSeparator())
            items.append(action);
    }
    // "&" is shown, not taken as a shortcut key; the system pane is not offered.
    EXPECT_EQ(entries, (QStringList{u"Auto"_s, u"Plans"_s, u"Task agents"_s, u"R&&D <b>"_s}));
    for (QAction *action : items)
        EXPECT_TRUE(action->isEnabled());

    items[2]->trigger();
    EXPECT_EQ(canvas->promptTarget(), PromptTarget::pane(atlas->id()));
    EXPECT_EQ(pill->look().shownTitle(), u"R&D <B>"_s);
    EXPECT_EQ(bar->field()->placeholder(), u"Prompt R&D <b>"_s);
    atlas->setAgentName(u"Atlas"_s);
    EXPECT_EQ(pill->look().title, u"Atlas"_s);
    items[1]->trigger();
    EXPECT_EQ(canvas->promptTarget(), PromptTarget::plans());
    EXPECT_EQ(bar->field()->placeholder(), u"Message the Plans agent"_s);
    items[0]->trigger();
    EXPECT_EQ(canvas->promptTarget(), PromptTarget::automatic());
    EXPECT_FALSE(pill->look().tinted);
}

TEST_F(PromptBarViewTest, APromptTypedInTheBarReachesAPaneAndItsReplyShowsThere)
{
    open();
    window = std::make_unique<QWidget>();
    auto *layout = new QVBoxLayout(window.get());
    auto *column = new AgentColumnView(canvas.get(), window.get());
    auto *promptBar = new PromptBarView(canvas.get(), window.get());
    layout->addWidget(column);
    layout->addWidget(promptBar);
    window->resize(900, 800);
    window->show();
    settleUi();
    bar = promptBar;

    provider->enqueue(FakeAgentProvider::events(
        {AgentOutput::stdoutLine(u"Added a **pricing** section."_s), AgentOutput::stdoutLine(u"TASK_COMPLETE: pricing"_s)}));
    type(u"add a pricing section"_s);
    // The send disc is the accent while there is something to send.
    const QImage disc = bar->sendButton()->grab().toImage();
    EXPECT_EQ(disc.pixelColor(QPoint(disc.width() / 10, disc.height() / 2)).rgb(), qColor(NmColor::accent).rgb());
    QTest::mouseClick(bar->sendButton(), Qt::LeftButton);

    ASSERT_TRUE(waitUntil([&] { return canvas->panes().size() == 1; }));
    AgentPaneState *pane = canvas->panes()[0];
    ASSERT_TRUE(settle(pane));
    settleUi();
    AgentPaneView *view = column->paneView(pane->id());
    ASSERT_NE(view, nullptr);
    bool replyShown = false;
    for (StdoutRunView *run : view->findChildren<StdoutRunView *>())
        replyShown = replyShown || run->rawText().contains(u"Added a **pricing** section."_s);
    EXPECT_TRUE(replyShown);
    EXPECT_EQ(view->taskCompleteCount(), 1);
}

} // namespace
} // namespace nerim::test
