// The model tests' main: a Qt application object for the event loop, the
// notifications and the settings, which go to Qt's test folders.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QStandardPaths>
#include <cstdlib>

#include "ModelTestSupport.h"

int main(int argc, char** argv) {
    // A helper child started by a test (holding a lock, serving D-Bus).
    if (argc >= 2 && model_test::RunHelperMode(argc, argv)) return 0;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
