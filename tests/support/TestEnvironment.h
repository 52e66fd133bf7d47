#pragma once

#include "foundation/Log.h"

#include <QDir>
#include <QMutex>
#include <QString>
#include <QStringList>

namespace nerim::test {

// The private folders every test runs in. The shared test main creates them
// before anything else runs and again, fresh and empty, before each test:
// HOME, XDG_DATA_HOME, XDG_CONFIG_HOME, XDG_CACHE_HOME, XDG_STATE_HOME and
// XDG_RUNTIME_DIR all point below the test's own temporary root, and the
// working folder is <root>/work. Nothing touches the real home. Before each
// test the environment is also put back as the process started and the cached
// API keys are dropped, so a test program passes run whole, test by test (as
// CTest runs it) and in any order (--gtest_shuffle).
QString tempRoot();
QString homeDir();
QString workDir();

// A fresh, empty folder below the temporary root, e.g. for a project.
QString makeTempDir(const QString &name = QStringLiteral("dir"));

// Writes `contents` to `path`, creating parent folders. Returns false on failure.
bool writeFile(const QString &path, const QByteArray &contents);
QByteArray readFile(const QString &path);

// Collects every log line while alive, then restores the previous sink.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    QStringList lines() const;
    bool contains(const QString &fragment) const; // any line containing the fragment
    void clear();

private:
    mutable QMutex m_mutex;
    QStringList m_lines;
    LogSink m_previous;
};

// Source folder of the project (for fixtures) and the build folder.
QString sourceDir();
QString binaryDir();

} // namespace nerim::test
