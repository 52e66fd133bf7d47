// The shared main of the test executables that need widgets or the web view:
// private folders, the offscreen platform, then GoogleTest.
#include <QApplication>
#include <gtest/gtest.h>

namespace nerim::test {
void installTestEnvironment();
void installPerTestEnvironment();
void removeTestEnvironment();
}

int main(int argc, char **argv)
{
    nerim::test::installTestEnvironment();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    nerim::test::installPerTestEnvironment();
    const int result = RUN_ALL_TESTS();
    // The temporary folders go with the run.
    nerim::test::removeTestEnvironment();
    return result;
}
