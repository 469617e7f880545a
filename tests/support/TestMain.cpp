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
    TestApplication app(argc, argv);
#ifdef PELLORA_TEST_WIDGETS
    QApplication::setQuitOnLastWindowClosed(false);
#endif
    return RUN_ALL_TESTS();
}
