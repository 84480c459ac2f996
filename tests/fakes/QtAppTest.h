// A test suite with a QApplication of its own, made before its first test
// and destroyed after its last.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>

class QtAppTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "tessaline_test";
        static char* argv[] = {name, nullptr};
        s_app = new QApplication(argc, argv);
    }
    static void TearDownTestSuite() {
        delete s_app;
        s_app = nullptr;
    }

private:
    static inline QApplication* s_app = nullptr;
};
