#include <QApplication>

#include <gtest/gtest.h>

// GoogleTest inside a QApplication, so the tests can run the event loop and build menus.
int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
