// The model tests' main: a Qt application object for the event loop, the
// notifications and the settings, which go to Qt's test folders.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QStandardPaths>
#include <cstdlib>

#include "ModelTestSupport.h"
#include "support/TempDir.h"

// A child that closes the application during a scan (ControllerTest.cpp).
bool RunControllerHelperMode(int argc, char** argv);

int main(int argc, char** argv) {
    // A helper child started by a test (holding a lock, serving D-Bus).
    if (argc >= 2 && model_test::RunHelperMode(argc, argv)) return 0;
    if (argc >= 2 && RunControllerHelperMode(argc, argv)) return 0;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // ctest runs each test in a process of its own, several at once: each
    // gets its own home, so Qt's test folders for settings and user files
    // are never shared.
    quillory_test::TempDir home("quillory-model-home");
    if (!home.Path().empty()) setenv("HOME", home.Path().c_str(), 1);
    // A GUI application (offscreen) so that icons and pictures can be made.
    QGuiApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    return result;
}
