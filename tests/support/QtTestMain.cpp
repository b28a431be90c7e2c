// An offscreen application named as the station, so its settings and folders resolve.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Talvex");
    QCoreApplication::setApplicationName("Talvex");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
