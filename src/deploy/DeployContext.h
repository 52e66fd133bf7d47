#pragma once

#include "deploy/DeployProvider.h"

#include <QFuture>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

namespace nerim {

// The inputs of one deploy session, gathered when a deploy is prepared.
struct DeployContext {
    // The providers to deploy to, in the order they are deployed.
    QList<DeployProvider> providersInOrder;
    // Names of the variables found in the project's .env file, in file order, each once.
    QStringList envVarNames;
    // Every name the project declares in its .env files at its root
    // (`.env`, `.env.local`, `.env.example`…), each once: the names the
    // Deploy agent may ask the user a value for.
    QStringList declaredNames{};
    DeployKind kind = DeployKind::fresh;
    DeployProvider::ProjectShape shape = DeployProvider::ProjectShape::unknown;
    // The launch command the shape was read from (empty when the app never ran).
    QString launchCommand{};
    // The project's .env file, when there is one.
    QString envFilePath{};
    // The project has a .env file that was not read because it is larger than
    // `DeployProjectFiles::maxEnvFileBytes`.
    bool envFileTooLarge = false;
    // The dependency names of the project's package.json, sorted.
    QStringList dependencies{};
    int attempt = 1;
    int retryCap = 2;

    friend bool operator==(const DeployContext &, const DeployContext &) = default;

    // The variable names of a .env text: every "KEY=" line, with an optional
    // "export " in front, in file order, each name once. Comments, blank lines
    // and lines that are not assignments are skipped.
    static QStringList envVarNamesIn(const QString &dotEnvText);
    // The names under "dependencies" and "devDependencies" of a package.json
    // text; nothing when it does not parse.
    static QSet<QString> dependencyNamesIn(const QByteArray &packageJson);
};

// What a deploy reads of the project's own files.
struct DeployProjectFiles {
    // The most of a .env file that is read (1 MiB).
    static constexpr qint64 maxEnvFileBytes = qint64(1) << 20;

    // The project's .env file and its variable names, when it was read.
    QString envFilePath;
    QStringList envVarNames;
    // The names of every .env file at the project's root, examples
    // included, `.env`'s first.
    QStringList declaredNames;
    // There is a .env file, larger than `maxEnvFileBytes`, so it was not read.
    bool envFileTooLarge = false;
    // The dependency names of package.json, sorted.
    QStringList dependencies;

    // Reads the .env files and package.json of the project folder through
    // `RegularFile`: a named pipe, a device or an oversized file is not read
    // (and counts as absent, with a log line); nothing waits on it. Blocking
    // file access: run it off the GUI thread (`readInBackground`).
    static DeployProjectFiles read(const QString &projectPath);
    static QFuture<DeployProjectFiles> readInBackground(const QString &projectPath);
};

} // namespace nerim
