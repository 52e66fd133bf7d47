#include "ui/panes/PaneWarmUp.h"

#include "agents/AgentPaneState.h"
#include "ui/design/Font.h"
#include "ui/panes/AgentPaneView.h"
#include "ui/panes/OutputLineView.h"
#include "ui/panes/StdoutRunView.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QImage>
#include <QTimer>
#include <QUuid>
#include <functional>
#include <memory>
#include <vector>

namespace nerim::PaneWarmUp {

namespace {

enum class State { idle, running, done };
State state = State::idle;

// Lays `widget` out at a pane's width and draws it into an image, then lets
// it go.
void layOutAndDraw(QWidget *widget)
{
    std::unique_ptr<QWidget> owned(widget);
    const int width = 328;
    const int height = widget->hasHeightForWidth() ? widget->heightForWidth(width) : widget->sizeHint().height();
    widget->resize(width, std::max(1, std::min(height, 600)));
    QImage image(widget->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    widget->render(&image);
}

std::vector<std::function<void()>> steps()
{
    return {
        [] { QFontDatabase::families(); },
        [] {
            for (const QFont &font : {NmFont::body(), NmFont::bodyMedium(), NmFont::caption(), NmFont::captionMedium(),
                                      NmFont::micro(), NmFont::mono(), NmFont::monoSmall()}) {
                const QFontMetricsF metrics(font);
                metrics.horizontalAdvance(QStringLiteral("Ag"));
            }
        },
        [] {
            AgentPaneState pane(QUuid::createUuid(), QStringLiteral("warm-up"), QStringLiteral("Claude 1"), 1, false,
                                AgentRole::unspecified, QString());
            layOutAndDraw(new AgentPaneView(&pane, AppState::OutputMode::verbose, {}));
        },
        [] {
            layOutAndDraw(new StdoutRunView(QStringLiteral("Updated the **form**, its `handler`, *labels*, "
                                                           "~~old code~~ and a [link](https://example.com).")));
        },
        [] {
            layOutAndDraw(new StdoutRunView(
                QStringLiteral("```js\nconst field = form.querySelector('#field'); // \"value\"\n```")));
        },
        [] {
            for (OutputLine::Kind kind : {OutputLine::Kind::userPrompt, OutputLine::Kind::system, OutputLine::Kind::stderr,
                                          OutputLine::Kind::taskComplete, OutputLine::Kind::stdout})
                layOutAndDraw(new OutputLineView(OutputLine::make(kind, QStringLiteral("Step 1 is done"))));
        },
    };
}

void runFrom(size_t index)
{
    const std::vector<std::function<void()>> all = steps();
    if (index >= all.size()) {
        state = State::done;
        return;
    }
    all[index]();
    // The next step in a turn of its own.
    QTimer::singleShot(0, qApp, [index] { runFrom(index + 1); });
}

} // namespace

void start()
{
    if (state != State::idle || !qApp)
        return;
    state = State::running;
    QTimer::singleShot(0, qApp, [] { runFrom(0); });
}

bool isDone() { return state == State::done; }

} // namespace nerim::PaneWarmUp
