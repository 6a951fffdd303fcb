#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QByteArray& b, std::ostream* os) {
    *os << '"' << b.toStdString() << '"';
}

namespace testsupport {

// Folder of the real sample files, or empty when this checkout has none.
QString samplesDir();

// A script of ../shared/realworld (which makes test material with the real programs), or
// empty when this checkout has none.
QString realWorldScript(const char* name);
// Runs bash with `arguments`; throws std::runtime_error with its output when it fails or
// takes longer than `timeoutMs`.
void runRealWorldScript(const QStringList& arguments, int timeoutMs,
                        const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());

// Skips the running test, saying why, when the sample folder is absent.
#define TWINSLIM_REQUIRE_SAMPLES()                                                                 \
    do {                                                                                           \
        if (testsupport::samplesDir().isEmpty())                                                   \
            GTEST_SKIP() << "the sample folder ../shared/samples is absent";                       \
    } while (0)

// Path of the photolib executable under test (set by CTest).
QString photolibPath();
// Path of the twinslim-cli executable under test.
QString twinslimCliPath();
// Path of `relative` in the project's source tree (its scripts).
QString sourcePath(const QString& relative);

QByteArray readFile(const QString& path);
void writeFile(const QString& path, const QByteArray& data);

// Expects trash-list, another program reading the desktop's trash, to list each of `paths`;
// checks nothing where trash-cli is not installed.
void expectTrashListShows(const QStringList& paths, const QProcessEnvironment& env =
                                                        QProcessEnvironment::systemEnvironment());

} // namespace testsupport
