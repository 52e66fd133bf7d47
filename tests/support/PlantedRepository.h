#pragma once

// A git repository whose own configuration names programs for git to run, as
// a project handed over by someone else may: a file-system monitor, a hooks
// folder, clean and smudge filters (one from an included file), a text
// converter (from an includeIf file), an alias, a credential helper. Each
// planted program leaves a mark in a folder of its own when it runs. The tests
// of every kind of run Nerim starts run the same routine git commands in it
// (status, diff, add, commit, log -p, checkout, the alias, credential fill)
// and check that no mark appears, while the user's own credential helper,
// from the global configuration in the test's HOME, still answers.

#include "TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

namespace nerim::test {

class PlantedRepository {
public:
    // The work tree; empty when git is not installed.
    QString folder;
    // Where the planted programs leave their marks, and where the routine
    // commands leave what the credential helpers answered.
    QString marks;
    QString results;

    // Makes the repository below the test's temporary root, with one commit
    // and three changed files, and the user's global configuration (an
    // identity, and a credential helper for https://example.com).
    static PlantedRepository create(const QString &name = QStringLiteral("planted"))
    {
        PlantedRepository repository;
        if (QStandardPaths::findExecutable(QStringLiteral("git")).isEmpty())
            return repository;
        const QString base = makeTempDir(name);
        repository.folder = base + QStringLiteral("/project");
        repository.marks = base + QStringLiteral("/marks");
        repository.results = base + QStringLiteral("/results");
        QDir().mkpath(repository.marks);
        QDir().mkpath(repository.results);
        writeFile(homeDir() + QStringLiteral("/.gitconfig"),
                  "[user]\n\tname = Test\n\temail = test@example.com\n"
                  "[credential \"https://example.com\"]\n"
                  "\thelper = \"!f() { echo username=you; echo password=from-your-own-helper; }; f\"\n");

        const QString &work = repository.folder;
        QDir().mkpath(work);
        writeFile(work + QStringLiteral("/a.txt"), "filtered\n");
        writeFile(work + QStringLiteral("/b.md"), "converted\n");
        writeFile(work + QStringLiteral("/c.dat"), "included\n");
        writeFile(work + QStringLiteral("/.gitattributes"), "*.txt filter=plant\n*.md diff=plant\n*.dat filter=more\n");
        if (!git(work, {QStringLiteral("init"), QStringLiteral("-q")}) ||
            !git(work, {QStringLiteral("add"), QStringLiteral("-A")}) ||
            !git(work, {QStringLiteral("commit"), QStringLiteral("-qm"), QStringLiteral("base")})) {
            repository.folder.clear();
            return repository;
        }

        // The plants, now that the first commit is made without them.
        const QString plants = base + QStringLiteral("/plants");
        for (const char *program : {"fsmonitor", "clean", "smudge", "textconv", "included", "credential", "alias",
                                    "pager", "editor", "hook", "default-hook"}) {
            const QString path = plants + QLatin1Char('/') + QLatin1String(program);
            writeFile(path, QStringLiteral("#!/bin/sh\ntouch '%1/%2'\nexec cat \"$@\"\n")
                                .arg(repository.marks, QLatin1String(program))
                                .toUtf8());
            QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        }
        QDir().mkpath(plants + QStringLiteral("/hooks"));
        QFile::copy(plants + QStringLiteral("/hook"), plants + QStringLiteral("/hooks/pre-commit"));
        QFile::copy(plants + QStringLiteral("/default-hook"), work + QStringLiteral("/.git/hooks/pre-commit"));
        const QByteArray p = plants.toUtf8();
        QFile config(work + QStringLiteral("/.git/config"));
        if (!config.open(QIODevice::Append))
            return repository;
        config.write("[core]\n\tfsmonitor = " + p + "/fsmonitor\n\thooksPath = " + p + "/hooks\n\tpager = " + p +
                     "/pager\n\teditor = " + p + "/editor\n"
                     "[filter \"plant\"]\n\tclean = " + p + "/clean\n\tsmudge = " + p + "/smudge\n\trequired = true\n"
                     "[credential]\n\thelper = " + p + "/credential\n"
                     "[alias]\n\tplanted = !" + p + "/alias\n"
                     "[include]\n\tpath = extra.inc\n"
                     "[includeIf \"gitdir:**\"]\n\tpath = conditional.inc\n");
        config.close();
        writeFile(work + QStringLiteral("/.git/extra.inc"),
                  "[filter \"more\"]\n\tclean = " + p + "/included\n");
        writeFile(work + QStringLiteral("/.git/conditional.inc"), "[diff \"plant\"]\n\ttextconv = " + p + "/textconv\n");

        writeFile(work + QStringLiteral("/a.txt"), "filtered, changed\n");
        writeFile(work + QStringLiteral("/b.md"), "converted, changed\n");
        writeFile(work + QStringLiteral("/c.dat"), "included, changed\n");
        return repository;
    }

    // What an agent routinely does with git, as one shell script run in the
    // work tree. What the credential helpers answer goes to the results folder.
    QString routineCommands() const
    {
        return QStringLiteral(
                   "export GIT_TERMINAL_PROMPT=0; "
                   "git status --short; git diff; git add -A; git commit -qm work; git log -p -2 >/dev/null; "
                   "rm -f a.txt; git checkout -- a.txt; git planted </dev/null; "
                   "printf 'protocol=https\\nhost=example.com\\n\\n' | git credential fill >'%1/own' 2>/dev/null; "
                   "printf 'protocol=https\\nhost=elsewhere.example\\n\\n' | git credential fill >'%1/other' 2>/dev/null; "
                   "git log --format=%s -1 >'%1/last-commit'; true")
            .arg(results);
    }

    // The planted programs that ran.
    QStringList marksLeft() const { return QDir(marks).entryList(QDir::Files); }

    // What the user's own helper answered, and the subject of the last commit.
    QByteArray ownHelperAnswer() const { return readFile(results + QStringLiteral("/own")); }
    QByteArray lastCommit() const { return readFile(results + QStringLiteral("/last-commit")).trimmed(); }

    // Runs git in `folder` without any of Nerim's settings.
    static bool git(const QString &folder, const QStringList &arguments)
    {
        QProcess process;
        process.setWorkingDirectory(folder);
        process.start(QStringLiteral("git"), arguments);
        return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }
};

} // namespace nerim::test
