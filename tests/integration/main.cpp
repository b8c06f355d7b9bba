#include <QApplication>

#include <gmock/gmock.h>

// Integration tests run without a desktop: Qt draws offscreen, and every service a test needs
// is started by the test itself.
int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
