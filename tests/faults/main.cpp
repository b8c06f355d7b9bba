#include <QCoreApplication>

#include <gmock/gmock.h>

// The fault tests drive agents and services as processes; they need an event loop, no display.
int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
