#pragma once

#include <QCoreApplication>
#include <QString>
#include <QTest>

namespace TestEnvironment {

// Gives the test process a fresh HOME, XDG folders and settings location of its own (removed at
// exit) and the offscreen platform, so no test reads or writes the developer's files or display.
// Call before the application object is created.
void isolate();

// The folder isolate() made.
QString root();

} // namespace TestEnvironment

// QTEST_GUILESS_MAIN with the isolated environment.
#define KELVANE_TEST_MAIN(TestObject)                                                                                  \
    int main(int argc, char *argv[])                                                                                   \
    {                                                                                                                  \
        TestEnvironment::isolate();                                                                                    \
        QCoreApplication app(argc, argv);                                                                              \
        TestObject test;                                                                                               \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }
