#include "TestEnvironment.h"

#include "foundation/SerialFileWriter.h"
#include "persistence/IntentProcessorConstants.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTemporaryDir>
#include <atomic>
#include <gtest/gtest.h>

namespace nerim::test {

namespace {

QTemporaryDir *g_root = nullptr;
// The folder of the test that runs now (below the root), holding its home,
// XDG folders and working folder.
QString g_current;
std::atomic<int> g_counter{0};
int g_testNumber = 0;
// The environment as the test main left it before the first test.
QProcessEnvironment *g_baseline = nullptr;

// Points HOME, the XDG folders and the working folder at a fresh folder below the root.
void enterFreshFolders()
{
    g_current = QStringLiteral("%1/test-%2").arg(g_root->path()).arg(g_testNumber++);
    const auto make = [](const char *name) {
        const QString path = g_current + QLatin1Char('/') + QString::fromLatin1(name);
        QDir().mkpath(path);
        return path;
    };
    qputenv("HOME", make("home").toUtf8());
    qputenv("XDG_DATA_HOME", make("home/.local/share").toUtf8());
    const QString config = make("home/.config");
    qputenv("XDG_CONFIG_HOME", config.toUtf8());
    // QSettings works out the user's configuration folder once per process;
    // point it at this test's folder, or a setting written by one test would
    // be read by the next.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config);
    qputenv("XDG_CACHE_HOME", make("home/.cache").toUtf8());
    qputenv("XDG_STATE_HOME", make("home/.local/state").toUtf8());
    const QString runtime = make("runtime");
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
    QDir::setCurrent(make("work"));
}

// Puts every variable back as it was when the process started: a test that
// changed one (a proxy, the session bus address) does not change the next.
void restoreBaselineEnvironment()
{
    const QProcessEnvironment now = QProcessEnvironment::systemEnvironment();
    for (const QString &name : now.keys()) {
        if (!g_baseline->contains(name))
            qunsetenv(name.toLocal8Bit().constData());
    }
    for (const QString &name : g_baseline->keys()) {
        const QString value = g_baseline->value(name);
        if (!now.contains(name) || now.value(name) != value)
            qputenv(name.toLocal8Bit().constData(), value.toLocal8Bit());
    }
}

// Every test of a program run whole (or shuffled) starts as if it ran alone:
// the previous test's background writes have finished, the environment is the
// starting one, the home, data and working folders are new and empty, and the
// keys read from the key file are read again.
class FreshFoldersForEachTest : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &) override
    {
        SerialFileWriter::shared().flush();
        restoreBaselineEnvironment();
        enterFreshFolders();
        IntentProcessorConstants::forgetCachedKeys();
    }
};

} // namespace

void installTestEnvironment()
{
    g_root = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/nerim-test-XXXXXX"));
    // GLib programs a test starts (gsettings, the web engine's processes) keep
    // desktop settings in memory rather than in dconf's file under the runtime
    // folder, so none that outlives its test makes that folder again after it
    // was removed. The test's home is empty, so they read the same defaults.
    qputenv("GSETTINGS_BACKEND", "memory");
    // Folders for whatever runs before the first test (the application object).
    enterFreshFolders();
}

void installPerTestEnvironment()
{
    // Everything the main has set up by now is the environment each test starts with.
    g_baseline = new QProcessEnvironment(QProcessEnvironment::systemEnvironment());
    ::testing::UnitTest::GetInstance()->listeners().Append(new FreshFoldersForEachTest);
}

void removeTestEnvironment()
{
    if (!g_root)
        return;
    SerialFileWriter::shared().flush();
    // Out of the folders first, and every folder opened up again (a test may
    // have taken the permissions away from one), so that all of it goes.
    QDir::setCurrent(QDir::tempPath());
    const QString root = g_root->path();
    QDirIterator folders(root, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks,
                         QDirIterator::Subdirectories);
    QFile::setPermissions(root, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    while (folders.hasNext())
        QFile::setPermissions(folders.next(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    delete g_root; // removes the folder with everything in it
    g_root = nullptr;
    // A background job of the last test (a save on a worker thread that the
    // serial writer does not own) may still make a folder in there while it
    // goes; look again for a moment until nothing is left.
    for (int round = 0; round < 20 && QFileInfo::exists(root); ++round) {
        QThread::msleep(50);
        QDir(root).removeRecursively();
    }
    g_current.clear();
}

QString tempRoot() { return g_root ? g_current : QDir::tempPath(); }
QString homeDir() { return tempRoot() + QStringLiteral("/home"); }
QString workDir() { return tempRoot() + QStringLiteral("/work"); }

QString makeTempDir(const QString &name)
{
    const QString path = QStringLiteral("%1/tmp-%2/%3").arg(tempRoot()).arg(g_counter++).arg(name);
    QDir().mkpath(path);
    return path;
}

bool writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(contents) == contents.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

LogCapture::LogCapture()
{
    m_previous = setLogSink([this](const QString &line) {
        QMutexLocker lock(&m_mutex);
        m_lines.append(line);
    });
}

LogCapture::~LogCapture() { setLogSink(std::move(m_previous)); }

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&m_mutex);
    return m_lines;
}

bool LogCapture::contains(const QString &fragment) const
{
    QMutexLocker lock(&m_mutex);
    for (const auto &line : m_lines)
        if (line.contains(fragment))
            return true;
    return false;
}

void LogCapture::clear()
{
    QMutexLocker lock(&m_mutex);
    m_lines.clear();
}

QString sourceDir() { return qEnvironmentVariable("NERIM_TEST_SOURCE_DIR", QStringLiteral(NERIM_SOURCE_DIR)); }
QString binaryDir() { return qEnvironmentVariable("NERIM_TEST_BINARY_DIR", QStringLiteral(NERIM_BINARY_DIR)); }

} // namespace nerim::test
