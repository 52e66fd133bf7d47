// The prompt bar's rules and the model picker's, as functions of the
// controller's state.
#include "ui/workspace/ModelPickerLook.h"
#include "ui/workspace/PromptBarLook.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace nerim {
namespace {

QUuid id(int n) { return QUuid(u"00000000-0000-0000-0000-%1"_s.arg(n, 12, 10, QLatin1Char('0'))); }

PromptBarState::Pane pane(int n, QString name, QString responsibility = {}, AgentStatus status = AgentStatus::idle)
{
    return {id(n), std::move(name), std::move(responsibility), status};
}

// A state as the controller would report it (its computed values worked out here).
PromptBarState state(QList<PromptBarState::Pane> panes, std::optional<int> focused, QString prompt = {})
{
    PromptBarState s;
    s.panes = std::move(panes);
    if (focused)
        s.focusedPaneId = id(*focused);
    s.inputPrompt = std::move(prompt);
    s.needsPaneSelection = s.panes.size() >= 2 && !s.focusedPaneId;
    s.canSubmit = !s.inputPrompt.trimmed().isEmpty() && !s.needsPaneSelection;
    s.hasTranscriber = true;
    return s;
}

TEST(PromptBarLook, PlaceholderFirstMatchingRow)
{
    const auto atlas = pane(1, u"Atlas"_s);
    const auto atlasWithJob = pane(1, u"Atlas"_s, u"UI build"_s);
    const auto atlasBusy = pane(1, u"Atlas"_s, u"UI build"_s, AgentStatus::hung);
    const auto juniper = pane(2, u"Juniper"_s);
    struct Row {
        PromptBarState state;
        QString placeholder;
    };
    QList<Row> rows;
    rows.append({state({}, std::nullopt), u"Type or hold the mic · try \"spawn agent\" or \"open browser\""_s});
    rows.append({state({atlas}, 1), u"Prompt Atlas"_s});
    rows.append({state({atlasWithJob}, 1), u"Prompt Atlas · UI build"_s});
    rows.append({state({atlasBusy}, 1), u"Atlas is busy · say \"spawn agent\" to open another"_s});
    rows.append({state({atlas, juniper}, std::nullopt), u"Click an agent to send it a prompt"_s});
    {
        // Choosing a pane wins over everything, voice included.
        PromptBarState s = state({atlas, juniper}, std::nullopt);
        s.voiceState = VoiceState::recording();
        s.promptTarget = PromptTarget::plans();
        rows.append({s, u"Click an agent to send it a prompt"_s});
    }
    for (const auto &[voice, text] : QList<std::pair<VoiceState, QString>>{
             {VoiceState::requestingPermissions(), u"Preparing microphone…"_s},
             {VoiceState::recording(), u"Listening…"_s},
             {VoiceState::transcribing(), u"Transcribing…"_s},
             {VoiceState::submitting(), u"Sending…"_s},
             {VoiceState::error(u"x"_s), u"Prompt Atlas"_s},
             {VoiceState::permissionDenied(VoiceState::DeniedAuthorization::microphone), u"Prompt Atlas"_s}}) {
        PromptBarState s = state({atlas}, 1);
        s.voiceState = voice;
        rows.append({s, text});
    }
    {
        // Plans wins over "no panes".
        PromptBarState s = state({}, std::nullopt);
        s.promptTarget = PromptTarget::plans();
        rows.append({s, u"Message the Plans agent"_s});
    }
    {
        // A targeted pane speaks for itself, whichever pane has the focus.
        PromptBarState s = state({atlasBusy, juniper}, 2);
        s.promptTarget = PromptTarget::pane(id(1));
        rows.append({s, u"Atlas is busy · say \"spawn agent\" to open another"_s});
    }
    {
        // A target that has gone counts as Auto: the focused pane, or none.
        PromptBarState s = state({juniper}, 2);
        s.promptTarget = PromptTarget::pane(id(9));
        rows.append({s, u"Prompt Juniper"_s});
        PromptBarState none = state({}, std::nullopt);
        none.promptTarget = PromptTarget::pane(id(9));
        rows.append({none, u"Type or hold the mic · try \"spawn agent\" or \"open browser\""_s});
        PromptBarState unfocused = state({juniper}, std::nullopt);
        rows.append({unfocused, u"Type or hold the mic"_s});
    }
    {
        // Emptiness is judged on the untrimmed responsibility.
        rows.append({state({pane(1, u"Atlas"_s, u" "_s)}, 1), u"Prompt Atlas ·  "_s});
    }
    for (const Row &row : rows)
        EXPECT_EQ(PromptBarLook::placeholder(row.state), row.placeholder);
}

// The field says what Enter will do with a Repair or Deploy pane: while its
// session runs the pane takes the answer; once it is over, Enter starts a new
// agent on a canvas without agent panes and otherwise needs an agent pane.
// Past the pane limit a busy pane no longer suggests opening another.
TEST(PromptBarLook, PlaceholderOfSystemPanesAndBusyPanesAtTheLimit)
{
    const auto deploy = [](bool takesPrompts, AgentStatus status = AgentStatus::idle) {
        PromptBarState::Pane made = pane(3, u"Deploy"_s, u"Putting your app online"_s, status);
        made.systemPane = true;
        made.takesPrompts = takesPrompts;
        return made;
    };
    const QString newAgent = u"Type or hold the mic · try \"spawn agent\" or \"open browser\""_s;
    const QString choose = u"Click an agent to send it a prompt"_s;
    // Restored, its session over: Enter spawns a new pane, so the field says so.
    EXPECT_EQ(PromptBarLook::placeholder(state({deploy(false)}, 3)), newAgent);
    EXPECT_EQ(PromptBarLook::placeholder(state({deploy(false, AgentStatus::done)}, 3)), newAgent);
    // Beside an agent pane the prompt would be refused: pick the agent pane.
    EXPECT_EQ(PromptBarLook::placeholder(state({pane(1, u"Atlas"_s), deploy(false)}, 3)), choose);
    {
        PromptBarState targeted = state({deploy(false)}, 3);
        targeted.promptTarget = PromptTarget::pane(id(3));
        EXPECT_EQ(PromptBarLook::placeholder(targeted), choose);
    }
    // While its session runs, the Deploy pane takes the answer.
    EXPECT_EQ(PromptBarLook::placeholder(state({deploy(true)}, 3)), u"Prompt Deploy · Putting your app online"_s);
    EXPECT_EQ(PromptBarLook::placeholder(state({deploy(true, AgentStatus::working)}, 3)),
              u"Deploy is busy · say \"spawn agent\" to open another"_s);
    // Three panes: nothing more can be opened.
    const QList<PromptBarState::Pane> full{pane(1, u"Atlas"_s), pane(2, u"Juniper"_s),
                                           deploy(true, AgentStatus::working)};
    EXPECT_EQ(PromptBarLook::placeholder(state(full, 3)), u"Deploy is busy · it takes a prompt again when it finishes"_s);
    EXPECT_EQ(PromptBarLook::placeholder(state({pane(1, u"Atlas"_s, {}, AgentStatus::working), pane(2, u"Juniper"_s),
                                                pane(4, u"Cedar"_s)},
                                               1)),
              u"Atlas is busy · it takes a prompt again when it finishes"_s);
}

TEST(PromptBarLook, MicrophoneByVoiceStateAndTranscriber)
{
    const QString reason = u"Voice input needs a Groq key in ~/.local/share/Nerim/api-keys.json."_s;
    using A = PromptBarLook::MicrophoneLook::Action;
    struct Row {
        VoiceState voice;
        QString symbol;
        TokenColor symbolColor;
        TokenColor disc;
        QString help;
        A action;
    };
    const TokenColor pale{NmColor::hairline, 0.25};
    const QList<Row> rows{
        {VoiceState::idle(), u"mic"_s, {NmColor::ink}, pale,
         u"Click to talk · double-tap ⇧ (Right Shift) to talk hands-free"_s, A::start},
        {VoiceState::requestingPermissions(), u"mic.fill"_s, {NmColor::paperBright}, {NmColor::accent},
         u"Click to stop and submit"_s, A::stop},
        {VoiceState::recording(), u"mic.fill"_s, {NmColor::paperBright}, {NmColor::accent},
         u"Click to stop and submit"_s, A::stop},
        // Light on the pale disc while the text is being made.
        {VoiceState::transcribing(), u"mic"_s, {NmColor::paperBright}, pale, u"Click to stop and submit"_s, A::stop},
        {VoiceState::submitting(), u"mic"_s, {NmColor::paperBright}, pale, u"Click to stop and submit"_s, A::stop},
        {VoiceState::permissionDenied(VoiceState::DeniedAuthorization::speechRecognition), u"mic"_s, {NmColor::ink},
         pale, u"Voice permission needed — open Settings to enable it"_s, A::start},
        {VoiceState::error(u"Didn't catch that. Try again."_s), u"mic"_s, {NmColor::ink}, pale,
         u"Click to talk · double-tap ⇧ (Right Shift) to talk hands-free"_s, A::start},
    };
    for (const Row &row : rows) {
        PromptBarState s = state({}, std::nullopt);
        s.voiceState = row.voice;
        const auto mic = PromptBarLook::microphone(s, reason);
        EXPECT_EQ(mic.symbol, row.symbol);
        EXPECT_EQ(mic.symbolColor, row.symbolColor);
        EXPECT_EQ(mic.disc, row.disc);
        EXPECT_EQ(mic.help, row.help);
        EXPECT_EQ(mic.action, row.action);
        EXPECT_TRUE(mic.enabled);
    }

    // Without a transcriber: faint, disabled, and it says what voice needs.
    PromptBarState none = state({}, std::nullopt);
    none.hasTranscriber = false;
    const auto faint = PromptBarLook::microphone(none, reason);
    EXPECT_FALSE(faint.enabled);
    EXPECT_EQ(faint.help, reason);
    EXPECT_EQ(faint.symbolColor, (TokenColor{NmColor::inkTertiary, 0.55}));
}

TEST(PromptBarLook, ARecordingCanBeStoppedWhileAPaneMustBeChosen)
{
    PromptBarState s = state({pane(1, u"A"_s), pane(2, u"B"_s)}, std::nullopt);
    ASSERT_TRUE(s.needsPaneSelection);
    EXPECT_FALSE(PromptBarLook::microphone(s, {}).enabled);
    EXPECT_FALSE(PromptBarLook::fieldEnabled(s));
    for (const VoiceState &active : {VoiceState::requestingPermissions(), VoiceState::recording(),
                                     VoiceState::transcribing(), VoiceState::submitting()}) {
        s.voiceState = active;
        const auto mic = PromptBarLook::microphone(s, {});
        EXPECT_TRUE(mic.enabled);
        EXPECT_EQ(mic.action, PromptBarLook::MicrophoneLook::Action::stop);
        EXPECT_FALSE(PromptBarLook::fieldEnabled(s));
    }
    s.voiceState = VoiceState::error(u"x"_s);
    EXPECT_FALSE(PromptBarLook::microphone(s, {}).enabled);
}

TEST(PromptBarLook, SendButton)
{
    using G = PromptBarLook::SendLook::Glyph;
    const TokenColor accent{NmColor::accent};
    const TokenColor light{NmColor::paperBright};
    struct Row {
        const char *what;
        PromptBarState state;
        bool enabled;
        TokenColor disc;
        G glyph;
        TokenColor glyphColor;
    };
    QList<Row> rows;
    rows.append({"empty", state({}, std::nullopt), false, {NmColor::hairline, 0.35}, G::arrow,
                 {NmColor::inkTertiary, 0.6}});
    rows.append({"spaces only", state({}, std::nullopt, u"   \n"_s), false, {NmColor::hairline, 0.35}, G::arrow,
                 {NmColor::inkTertiary, 0.6}});
    rows.append({"text", state({}, std::nullopt, u"hello"_s), true, accent, G::arrow, light});
    rows.append({"busy focused pane, empty field",
                 state({pane(1, u"A"_s, {}, AgentStatus::working)}, 1), false, accent, G::spinner, light});
    rows.append({"busy focused pane with text",
                 state({pane(1, u"A"_s, {}, AgentStatus::spawning)}, 1, u"next"_s), true, accent, G::spinner, light});
    {
        PromptBarState s = state({}, std::nullopt, u"hello"_s);
        s.justSubmitted = true;
        rows.append({"just submitted", s, false, accent, G::checkmark, light});
    }
    {
        // A submission still being routed: the same prompt must not go twice.
        PromptBarState s = state({pane(1, u"A"_s), pane(2, u"B"_s)}, 1, u"split this"_s);
        s.isSubmitting = true;
        rows.append({"routing", s, false, accent, G::arrow, light});
    }
    rows.append({"pane to choose", state({pane(1, u"A"_s), pane(2, u"B"_s)}, std::nullopt, u"x"_s), false,
                 {NmColor::hairline, 0.35}, G::arrow, {NmColor::inkTertiary, 0.6}});
    for (const Row &row : rows) {
        const auto look = PromptBarLook::send(row.state);
        EXPECT_EQ(look.enabled, row.enabled) << row.what;
        EXPECT_EQ(look.disc, row.disc) << row.what;
        EXPECT_EQ(look.glyph, row.glyph) << row.what;
        EXPECT_EQ(look.glyphColor, row.glyphColor) << row.what;
    }

    // Return is not gated by the text or the checkmark, only by a routing submission.
    PromptBarState s = state({}, std::nullopt, u"  "_s);
    s.justSubmitted = true;
    EXPECT_TRUE(PromptBarLook::returnSubmits(s));
    s.isSubmitting = true;
    EXPECT_FALSE(PromptBarLook::returnSubmits(s));
}

TEST(PromptBarLook, NoticesAndFieldHeight)
{
    using K = PromptBarLook::Notice::Kind;
    EXPECT_FALSE(PromptBarLook::notice(VoiceState::idle()));
    EXPECT_FALSE(PromptBarLook::notice(VoiceState::recording()));
    EXPECT_EQ(PromptBarLook::notice(VoiceState::permissionDenied(VoiceState::DeniedAuthorization::microphone)),
              (PromptBarLook::Notice{K::permission, u"Microphone access is off. Enable it in Settings to use voice."_s,
                                     VoiceState::DeniedAuthorization::microphone}));
    EXPECT_EQ(
        PromptBarLook::notice(VoiceState::permissionDenied(VoiceState::DeniedAuthorization::speechRecognition))->text,
        u"Speech recognition is off. Enable it in Settings to use voice."_s);
    const auto message = PromptBarLook::notice(VoiceState::error(u"Transcription failed: <b>x</b>"_s));
    EXPECT_EQ(message->kind, K::message);
    EXPECT_EQ(message->text, u"Transcription failed: <b>x</b>"_s);

    // 16-point lines and 12 points of margins: one line is the 28-point floor,
    // four lines are the tallest, a fifth scrolls.
    EXPECT_EQ(PromptBarLook::fieldHeight(1, 16, 12), 28);
    EXPECT_EQ(PromptBarLook::fieldHeight(2, 16, 12), 44);
    EXPECT_EQ(PromptBarLook::fieldHeight(4, 16, 12), 76);
    EXPECT_EQ(PromptBarLook::fieldHeight(9, 16, 12), 76);
    // Never above 96, whatever the font.
    EXPECT_EQ(PromptBarLook::fieldHeight(4, 30, 12), 96);
}

TEST(ModelPickerLook, LabelTintAndMenu)
{
    const MenuPillLook start = ModelPickerLook::look(defaultModelChoice);
    EXPECT_FALSE(start.tinted);
    EXPECT_EQ(start.symbol, u"cpu"_s);
    EXPECT_EQ(start.shownTitle(), u"SONNET 4.6"_s);
    const MenuPillLook opus = ModelPickerLook::look(ModelChoice::opus47);
    EXPECT_TRUE(opus.tinted);
    EXPECT_EQ(opus.shownTitle(), u"OPUS 4.7"_s);
    // The retired starting model of older projects is tinted like any other.
    EXPECT_TRUE(ModelPickerLook::look(ModelChoice::sonnet45).tinted);

    QStringList titles;
    for (const auto &entry : ModelPickerLook::menuEntries())
        titles.append(entry.title);
    EXPECT_EQ(titles, (QStringList{u"Haiku 4.5"_s, u"Sonnet 4.5"_s, u"Sonnet 4.6"_s, u"Sonnet 5"_s, u"Opus 4.6"_s,
                                   u"Opus 4.7"_s, u"Opus 4.8"_s, u"Fable 5"_s}));
    EXPECT_FALSE(ModelPickerLook::changesChoice(ModelChoice::opus47, ModelChoice::opus47));
    EXPECT_TRUE(ModelPickerLook::changesChoice(ModelChoice::opus47, ModelChoice::haiku45));
}

} // namespace
} // namespace nerim
