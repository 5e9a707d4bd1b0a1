// GoogleTest main for the tests that need a QApplication. Without a display
// of its own the test runs on Qt's off-screen platform; test discovery at build
// time needs that too.
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    int toolkitArgc = 1;
    QApplication application(toolkitArgc, argv);
    return RUN_ALL_TESTS();
}
