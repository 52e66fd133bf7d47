// "Run the app" from the prompt bar on real projects: the static site's address
// reaches the preview, a failing node server's classified failure and an
// unrecognised folder's detection error are shown in it.
#include "RunAppFixture.h"

using namespace nerim;
using namespace nerim::test;

TEST_F(RunAppTest, AStaticSiteRunsAndItsAddressReachesThePreview)
{
    writeFile(project + QStringLiteral("/index.html"), "<title>Hi</title>");
    open();
    ASSERT_FALSE(canvas->preview().isVisible());

    submit(QStringLiteral("run the app"));
    EXPECT_EQ(canvas->inputPrompt(), QString());
    // The preview is open before anything is known about the start.
    EXPECT_TRUE(canvas->preview().isVisible());
    ASSERT_TRUE(canvas->lastAttemptedLaunchPlan().has_value());
    EXPECT_EQ(canvas->lastAttemptedLaunchPlan()->shellCommand,
              QStringLiteral("python3 -m http.server 0 --bind 127.0.0.1"));
    EXPECT_FALSE(canvas->lastLaunchAttemptDetectionError().has_value());

    ASSERT_TRUE(waitForAddress()) << runnerOutput();
    const QUrl url = *canvas->devServerRunner().detectedURL();
    EXPECT_EQ(url.host(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(canvas->preview().addressBar(), url.toString());
    ASSERT_TRUE(canvas->preview().pendingNavigation().has_value());
    EXPECT_EQ(*canvas->preview().pendingNavigation(), PreviewState::PendingNavigation::load(url));
    EXPECT_FALSE(canvas->preview().error().has_value());
    // No pane was needed for any of it.
    EXPECT_TRUE(canvas->panes().isEmpty());
}

TEST_F(RunAppTest, ANodeServerMissingAModuleShowsTheClassifiedFailure)
{
    if (!loginShellHas("node"))
        GTEST_SKIP() << "node is not installed";
    writeNodeProjectMissingAModule();
    open();
    canvas->preview().hide();

    submit(QStringLiteral("run the app"));
    ASSERT_TRUE(waitUntil([&] { return canvas->devServerRunner().lastFailure().has_value(); }, 30000))
        << runnerOutput();
    const DetectedFailure failure = *canvas->devServerRunner().lastFailure();
    // The project's own file, named, not a package to install.
    EXPECT_EQ(failure.category, DetectedFailure::Category::nodemonCatchall);
    EXPECT_EQ(failure.symbol, QStringLiteral("./lib/greeting"));
    // Summary, two spaces, hint: the text the repair banner sits on.
    ASSERT_TRUE(failure.hint.has_value());
    EXPECT_EQ(canvas->preview().error(), failure.summary + QStringLiteral("  ") + *failure.hint);
    EXPECT_EQ(failure.summary, QStringLiteral("Your app can't find one of its own files: ./lib/greeting."));
    EXPECT_FALSE(failure.hint->contains(QStringLiteral("npm install")));
    EXPECT_TRUE(canvas->preview().isVisible());
}

TEST_F(RunAppTest, AFolderThatCannotBeStartedShowsTheDetectorsSentence)
{
    writeFile(project + QStringLiteral("/notes.txt"), "just notes");
    open();

    await(canvas->runApp());
    EXPECT_TRUE(canvas->preview().isVisible());
    EXPECT_EQ(canvas->preview().error(), ProjectTypeDetector::unknownProjectHint);
    EXPECT_EQ(canvas->lastLaunchAttemptDetectionError(), ProjectTypeDetector::unknownProjectHint);
    EXPECT_FALSE(canvas->lastAttemptedLaunchPlan().has_value());
    EXPECT_TRUE(canvas->devServerRunner().status().is(DevServerStatus::Kind::idle));

    // Once the folder can be started, the next run forgets the error and keeps the plan.
    writeFile(project + QStringLiteral("/index.html"), "<p>now a site</p>");
    await(canvas->runApp());
    EXPECT_FALSE(canvas->lastLaunchAttemptDetectionError().has_value());
    EXPECT_TRUE(canvas->lastAttemptedLaunchPlan().has_value());
    ASSERT_TRUE(waitForAddress()) << runnerOutput();
}

TEST_F(RunAppTest, TheRunnersCallbacksDoNothingOnceTheCanvasIsGone)
{
    open();
    DevServerRunner &runner = canvas->devServerRunner();
    // The runner's callbacks hold the controller weakly: once it is gone they are no-ops.
    const auto urlCallback = runner.onURLDetected;
    const auto failureCallback = runner.onFailureDetected;
    // The preview is kept past the canvas, so a callback that still reached
    // the controller would show on it (and the sanitizer build would report
    // the use after free).
    std::unique_ptr<PreviewState> preview(&canvas->preview());
    preview->setParent(nullptr);
    await(canvas->teardown());
    canvas.reset();
    ASSERT_FALSE(preview->isVisible());
    urlCallback(QUrl(QStringLiteral("http://127.0.0.1:1/")));
    failureCallback(DevServerRunner::startupCrashFailure());
    EXPECT_FALSE(preview->isVisible());
    EXPECT_FALSE(preview->pendingNavigation());
    EXPECT_FALSE(preview->error().has_value());
}
