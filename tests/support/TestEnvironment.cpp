#include "TestEnvironment.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <atomic>

namespace nerim::test {

namespace {
QTemporaryDir *g_root = nullptr;
std::atomic<int> g_counter{0};
} // namespace

void installTestEnvironment()
{
    g_root = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/nerim-test-XXXXXX"));
    const QString root = g_root->path();
    const auto make = [&](const char *name) {
        const QString path = root + QLatin1Char('/') + QString::fromLatin1(name);
        QDir().mkpath(path);
        return path;
    };
    qputenv("HOME", make("home").toUtf8());
    qputenv("XDG_DATA_HOME", make("home/.local/share").toUtf8());
    qputenv("XDG_CONFIG_HOME", make("home/.config").toUtf8());
    qputenv("XDG_CACHE_HOME", make("home/.cache").toUtf8());
    qputenv("XDG_STATE_HOME", make("home/.local/state").toUtf8());
    const QString runtime = make("runtime");
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
    QDir::setCurrent(make("work"));
}

QString tempRoot() { return g_root ? g_root->path() : QDir::tempPath(); }
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
