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
// CTest runs it) and in any order (--gtest_shuffle). Before each test the
// previous test's background writes are waited for, and when the program ends
// its temporary folder (`nerim-test-*`) goes with everything in it.
//
// How the tests are laid out: one GoogleTest executable per library folder,
// registered with CTest and labelled `headless` or `gui`. `scripts/test` runs
// the headless tests in an AddressSanitizer/UBSan build (`build-asan`) and the
// widget and web view tests in the normal build, with a private D-Bus session
// and an unlocked gnome-keyring; each tree builds only the tests that run in it
// (`NERIM_TEST_LABELS`, set by `scripts/setup`), and every process the run
// started is stopped when it ends, interrupted or not. The application loads
// its guard, preview engine and voice backends only from its own folder; every
// other program of the build (tests, their helpers, benchmarks) finds them the
// same way, through links its folder gets at build time
// (`nerim_link_helpers_beside_programs` in cmake/Nerim.cmake).
//
// What the tests start in place of the real thing, all in tests/support:
// PlantedFiles.h (links, pipes and huge sparse files for hostile project
// folders), PlantedRepository.h (a git repository whose configuration names a
// program for each routine command; every kind of run is tested in one),
// ProgramCopies.h (programs another user can run), claude-standin (a
// scriptable `claude`: asked for stream-json it writes the installed program's
// events, and `hold FILE` keeps the next message back until the test creates
// FILE), fake-agent-provider (a FakeAgentProvider playing scripted sessions
// without a program), voice-fakes (recording sound, speech and haptic backends
// with a hand-moved clock) and loopback-http (a loopback HTTP server); fixture
// projects are written into temporary folders.
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
