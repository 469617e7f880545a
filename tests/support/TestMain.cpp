#include <gtest/gtest.h>

#ifdef PELLORA_TEST_WIDGETS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

// One application object for the whole program: every layer's tests need its event loop.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
#ifdef PELLORA_TEST_WIDGETS
    // Never the desktop's own display, even when listing the tests.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    TestApplication app(argc, argv);
#ifdef PELLORA_TEST_WIDGETS
    QApplication::setQuitOnLastWindowClosed(false);
#endif
    return RUN_ALL_TESTS();
}
