// Gallery pages of agent panes: code blocks, status pills and a transcript.
#include "ui/design/gallery/GalleryRegistry.h"

#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/MotionPreferences.h"
#include "ui/design/widgets/AtmosphereView.h"
#include "ui/design/widgets/NmSurfaceModifier.h"
#include "ui/panes/CodeBlockView.h"
#include "ui/panes/OutputLineView.h"
#include "ui/panes/StatusPill.h"
#include "ui/panes/StdoutRunView.h"
#include "ui/panes/TranscriptGrouping.h"
#include "ui/panes/TranscriptView.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;
using namespace nerim;

namespace {

// A transcript takes its lines in from the frame after it is shown, and lays
// out its rows a turn's budget at a time: pages wait until every one is done.
const bool transcriptsWaitedFor = [] {
    gallery::registerBusyCheck(&TranscriptView::anyCatchingUp);
    return true;
}();

} // namespace

namespace {

QWidget *paperPage()
{
    auto *page = new QWidget;
    page->setAutoFillBackground(true);
    QPalette palette = page->palette();
    palette.setColor(QPalette::Window, qColor(NmColor::paperBright));
    page->setPalette(palette);
    return page;
}

} // namespace

NERIM_GALLERY_PAGE(codeBlocks, "panes-code-blocks")
{
    MotionPreferences::shared().setReduceMotion(true);
    std::unique_ptr<QWidget> page(paperPage());
    auto *column = new QVBoxLayout(page.get());
    column->setContentsMargins(24, 20, 24, 20);
    column->setSpacing(10);
    column->addWidget(new CodeBlockView(
        u"swift"_s,
        u"// Greets the user by name\nlet name = \"Ada\"\nprint(\"Hello, \\(name)!\") // says \"hi\"\nlet c = 'x'"_s,
        true, page.get()));
    column->addWidget(new CodeBlockView(
        u"Python"_s, u"def greet(name):\n    # a friendly hello\n    return f\"Hello, {name}\"\n"_s, false, page.get()));
    column->addWidget(new CodeBlockView(
        std::nullopt,
        u"npm install && npm run build -- --mode production --out-dir ./dist/public/assets --sourcemap "
        "--minify --report \"build report.json\""_s,
        true, page.get()));
    column->addWidget(new CodeBlockView(u"json"_s, QString(), true, page.get()));
    column->addStretch(1);
    return gallery::renderWidget(page.get(), QSize(560, 470));
}

NERIM_GALLERY_PAGE(statusPills, "panes-status-pills")
{
    MotionPreferences::shared().setReduceMotion(true);
    std::unique_ptr<QWidget> page(paperPage());
    auto *row = new QHBoxLayout(page.get());
    row->setContentsMargins(20, 16, 20, 16);
    row->setSpacing(10);
    for (AgentStatus status : {AgentStatus::idle, AgentStatus::spawning, AgentStatus::working, AgentStatus::hung,
                               AgentStatus::done, AgentStatus::error, AgentStatus::stopped})
        row->addWidget(new StatusPill(status, page.get()));
    row->addStretch(1);
    return gallery::renderWidget(page.get(), QSize(640, 56));
}

NERIM_GALLERY_PAGE(transcript, "panes-transcript")
{
    MotionPreferences::shared().setReduceMotion(true);
    AtmosphereView view;
    view.setClock([] { return 0.0; });
    auto *outer = new QVBoxLayout(&view);
    outer->setContentsMargins(32, 28, 32, 28);

    auto *pane = new QWidget(&view);
    NmPaneSurfaceModifier::apply(pane, true);
    auto *column = new QVBoxLayout(pane);
    column->setContentsMargins(18, 14, 18, 16);
    column->setSpacing(6);
    auto *header = new QHBoxLayout;
    header->addStretch(1);
    header->addWidget(new StatusPill(AgentStatus::working, pane));
    column->addLayout(header);

    using Kind = OutputLine::Kind;
    const QList<OutputLine> lines{
        OutputLine::make(Kind::system, u"[Ready — type a task or hold the mic]"_s),
        OutputLine::make(Kind::userPrompt, u"Add a contact form to the home page"_s),
        OutputLine::make(Kind::stdout, u"I'll add a **contact form** with `name`, `email` and a message box."_s),
        OutputLine::make(Kind::stdout, u"```html"_s),
        OutputLine::make(Kind::stdout, u"<form action=\"/contact\" method=\"post\">"_s),
        OutputLine::make(Kind::stdout, u"  <input name='email' type='email'> <!-- required -->"_s),
        OutputLine::make(Kind::stdout, u"</form>"_s),
        OutputLine::make(Kind::stdout, u"```"_s),
        OutputLine::make(Kind::stdout, u"Styles follow [the guide](https://example.com/guide); <b>tags</b> stay text."_s),
        OutputLine::make(Kind::stderr, u"npm WARN deprecated inflight@1.0.6"_s),
        OutputLine::make(Kind::stdout, u"```js"_s),
        OutputLine::make(Kind::stdout, u"form.addEventListener('submit', send) // wire it up"_s),
        OutputLine::make(Kind::taskComplete, u"Contact form added to the home page"_s),
        OutputLine::make(Kind::system, u"Atlas exited · code 0"_s),
    };
    for (const RenderGroup &group : renderGroups(visibleLines(lines, AppState::OutputMode::verbose))) {
        if (const auto *single = group.asSingle())
            column->addWidget(new OutputLineView(single->line, pane));
        else
            column->addWidget(new StdoutRunView(group.asStdoutRun()->text.toString(), pane));
    }
    column->addStretch(1);
    outer->addWidget(pane);
    return gallery::renderWidget(&view, QSize(600, 720));
}
