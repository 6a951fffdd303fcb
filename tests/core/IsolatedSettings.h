#pragma once

#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

// Points the application's preferences at a temporary folder for the whole test
// program, so no test reads or writes the real home folder.
class IsolatedSettings : public ::testing::Environment {
public:
    void SetUp() override {
        m_dir = std::make_unique<QTemporaryDir>();
        ASSERT_TRUE(m_dir->isValid());
        qputenv("XDG_CONFIG_HOME", m_dir->path().toUtf8());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir->path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir->path());
    }
    void TearDown() override { m_dir.reset(); }

    static QString path() { return instance ? instance->m_dir->path() : QString(); }
    static IsolatedSettings* instance;

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

// Registers the environment once per test program; include from exactly one file.
#define TWINSLIM_ISOLATE_SETTINGS()                                                                \
    IsolatedSettings* IsolatedSettings::instance =                                                 \
        static_cast<IsolatedSettings*>(::testing::AddGlobalTestEnvironment(new IsolatedSettings))
