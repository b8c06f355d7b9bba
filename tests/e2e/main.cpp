#include <QCoreApplication>

#include <gmock/gmock.h>

// The test process itself draws nothing: it only reads the pictures it takes of the agent's X
// display, and serves the D-Bus connections it drives the desktop with.
int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
