#pragma once

// Widget tests of the panes and the prompt bar: a real canvas controller over
// a temporary project with the fake agent provider, a scriptable router and
// transcriber, and motion reduced unless a test asks for it.

#include "canvas/CanvasFixture.h"
#include "ui/design/MotionPreferences.h"
#include "ui/panes/TranscriptView.h"

#include <QApplication>
#include <QDesktopServices>
#include <QTest>
#include <QUrl>
#include <QWidget>

namespace nerim::test {

// A transcriber that records its calls and hands back a set transcript.
class FakeTranscriber : public VoiceTranscribing {
public:
    QCoro::Task<> start() override
    {
        ++starts;
        co_return;
    }
    QCoro::Task<QString> stopRecordingAndAwaitTranscript() override
    {
        ++stops;
        co_return transcript;
    }

    QString transcript;
    int starts = 0;
    int stops = 0;
};

// Records every address QDesktopServices is asked to open, by scheme, so that
// no test opens a browser.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    explicit UrlRecorder(QStringList schemes)
        : m_schemes(std::move(schemes))
    {
        for (const QString &scheme : m_schemes)
            QDesktopServices::setUrlHandler(scheme, this, "open");
    }
    ~UrlRecorder() override
    {
        for (const QString &scheme : m_schemes)
            QDesktopServices::unsetUrlHandler(scheme);
    }

    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened.append(url); }

private:
    QStringList m_schemes;
};

class PaneViewsTest : public CanvasTest {
protected:
    void SetUp() override
    {
        CanvasTest::SetUp();
        MotionPreferences::shared().setReduceMotion(true);
        transcriber = std::make_shared<FakeTranscriber>();
    }

    void TearDown() override
    {
        window.reset();
        CanvasTest::TearDown();
    }

    // A bootstrapped canvas with the fake transcriber (or none).
    ProjectCanvasViewModel &openWithVoice(bool withTranscriber = true)
    {
        canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("project-id"), project,
                                                          QStringLiteral("Project"), provider,
                                                          withTranscriber ? transcriber : nullptr, services());
        await(canvas->bootstrap());
        return *canvas;
    }

    // Puts `content` in a shown top-level window of `size`.
    template <typename T>
    T *show(T *content, QSize size = QSize(900, 700))
    {
        window = std::make_unique<QWidget>();
        content->setParent(window.get());
        content->move(0, 0);
        window->resize(size);
        content->resize(content->sizeHint().expandedTo(QSize(1, 1)));
        window->show();
        window->activateWindow();
        QApplication::processEvents();
        return content;
    }

    static void settleUi(int turns = 5)
    {
        for (int i = 0; i < turns; ++i)
            QApplication::processEvents();
        // A transcript catches up at most once a frame, and lays out rows
        // near the view a turn's budget at a time: let it finish.
        for (int i = 0; i < 200 && TranscriptView::anyCatchingUp(); ++i)
            QTest::qWait(1);
        QApplication::processEvents();
    }

    std::shared_ptr<FakeTranscriber> transcriber;
    std::unique_ptr<QWidget> window;
};

} // namespace nerim::test
