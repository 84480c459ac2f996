// One QApplication for a test process that starts the whole program, with
// its settings and data directories in a temporary directory and the
// provider built beside the tests.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QTemporaryDir>
#include <memory>

class AppEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        m_dir = std::make_unique<QTemporaryDir>();
        ASSERT_TRUE(m_dir->isValid());
        setenv("XDG_CONFIG_HOME", (m_dir->path() + "/config").toUtf8().constData(), 1);
        setenv("XDG_DATA_HOME", (m_dir->path() + "/data").toUtf8().constData(), 1);
        setenv("TESSALINE_LIBRARY_PATH", PROVIDER_DIR, 1);
        static int argc = 1;
        static char name[] = "tessaline_test";
        static char* argv[] = {name, nullptr};
        m_app = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override {
        m_app.reset();
        m_dir.reset();
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QApplication> m_app;
};
