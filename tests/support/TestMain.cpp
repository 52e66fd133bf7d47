// The shared main of the headless test executables: private folders first,
// then the Qt application object, then GoogleTest.
#include <QCoreApplication>
#include <gtest/gtest.h>

namespace nerim::test {
void installTestEnvironment();
void installPerTestEnvironment();
void removeTestEnvironment();
}

int main(int argc, char **argv)
{
    nerim::test::installTestEnvironment();
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    nerim::test::installPerTestEnvironment();
    const int result = RUN_ALL_TESTS();
    // The temporary folders go with the run.
    nerim::test::removeTestEnvironment();
    return result;
}
