// Gallery page of the prompt bar: its placeholders, the microphone and send
// states, both pills tinted and plain, and each voice notice.
#include "ui/design/gallery/GalleryRegistry.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "ui/design/MotionPreferences.h"
#include "ui/design/widgets/AtmosphereView.h"
#include "ui/workspace/PromptBarView.h"

#include <QTemporaryDir>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;
using namespace nerim;

namespace {

// Stands in for a transcriber so the microphone shows as available.
class IdleTranscriber : public VoiceTranscribing {
public:
    QCoro::Task<> start() override { co_return; }
    QCoro::Task<QString> stopRecordingAndAwaitTranscript() override { co_return QString(); }
};

struct Bar {
    QTemporaryDir folder;
    std::unique_ptr<ProjectCanvasViewModel> canvas;

    explicit Bar(bool transcriber = true)
    {
        canvas = std::make_unique<ProjectCanvasViewModel>(
            u"gallery"_s, folder.path(), u"Gallery"_s, nullptr,
            transcriber ? std::make_shared<IdleTranscriber>() : std::shared_ptr<VoiceTranscribing>());
    }
};

} // namespace

NERIM_GALLERY_PAGE(promptBars, "prompt-bar-states")
{
    MotionPreferences::shared().setReduceMotion(true);
    std::vector<std::unique_ptr<Bar>> bars;
    const auto bar = [&](bool transcriber = true) -> ProjectCanvasViewModel & {
        bars.push_back(std::make_unique<Bar>(transcriber));
        return *bars.back()->canvas;
    };

    // An empty canvas without voice input.
    bar(false);
    // One focused pane with a responsibility, a typed prompt, another model.
    {
        ProjectCanvasViewModel &canvas = bar();
        canvas.spawnPane(u"Landing page"_s, AgentRole::designer);
        canvas.setInputPrompt(u"Add a pricing section with three plans"_s);
        canvas.modelPreference().setChoice(ModelChoice::opus47);
    }
    // The focused pane is busy: the send disc spins; the prompt goes to Plans.
    {
        ProjectCanvasViewModel &canvas = bar();
        canvas.spawnPane(QString(), AgentRole::unspecified)->setStatus(AgentStatus::working);
        canvas.selectPromptTarget(PromptTarget::plans());
    }
    // Two panes (restored, say) and none chosen.
    {
        ProjectCanvasViewModel &canvas = bar();
        for (int number : {1, 2})
            canvas.appendPane(new AgentPaneState(QUuid::createUuid(), QUuid::createUuid().toString(),
                                                 u"Claude %1"_s.arg(number), number, false, AgentRole::unspecified,
                                                 QString()));
    }
    // Recording.
    bar().setVoiceState(VoiceState::recording());
    // The three notices.
    bar().setVoiceState(VoiceState::permissionDenied(VoiceState::DeniedAuthorization::microphone));
    bar().setVoiceState(VoiceState::permissionDenied(VoiceState::DeniedAuthorization::speechRecognition));
    bar().setVoiceState(VoiceState::error(u"Transcription failed: <b>503</b> from the service"_s));

    AtmosphereView view;
    view.setClock([] { return 0.0; });
    auto *column = new QVBoxLayout(&view);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(0);
    for (const auto &entry : bars)
        column->addWidget(new PromptBarView(entry->canvas.get(), &view), 0, Qt::AlignHCenter);
    column->addStretch(1);
    return gallery::renderWidget(&view, QSize(740, 1000));
}

// The discs changing colour with the quick spring: typing makes the send
// disc brass, starting to listen makes the microphone's disc brass and its
// symbol light.
NERIM_GALLERY_PAGE(promptBarDiscMotion, "motion-prompt-discs")
{
    MotionPreferences::shared().setReduceMotion(false);
    Bar sending;
    sending.canvas->spawnPane(u"Landing page"_s, AgentRole::designer);
    Bar listening;
    listening.canvas->spawnPane(u"Landing page"_s, AgentRole::designer);

    AtmosphereView view;
    view.setClock([] { return 0.0; });
    auto *column = new QVBoxLayout(&view);
    column->setContentsMargins(16, 16, 16, 16);
    column->addWidget(new PromptBarView(sending.canvas.get(), &view), 0, Qt::AlignHCenter);
    column->addWidget(new PromptBarView(listening.canvas.get(), &view), 0, Qt::AlignHCenter);
    column->addStretch(1);
    std::vector<std::pair<QString, QImage>> frames;
    gallery::renderWidget(&view, QSize(700, 200));
    gallery::seekAnimations(&view, 1.0); // the symbols' first fade
    frames.emplace_back(u"Before"_s, view.grab().toImage());
    sending.canvas->setInputPrompt(u"Add a pricing section"_s);
    listening.canvas->setVoiceState(VoiceState::recording());
    gallery::seekAnimations(&view, 0.2);
    frames.emplace_back(u"On the way"_s, view.grab().toImage());
    gallery::seekAnimations(&view, 1.0);
    frames.emplace_back(u"After"_s, view.grab().toImage());
    MotionPreferences::shared().setReduceMotion(true);
    return gallery::frameStrip(frames);
}
