#include "agents/ProjectInstructions.h"

#include "foundation/Log.h"
#include "foundation/RegularFile.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace nerim::ProjectInstructions {

std::optional<QString> read(const QString &projectPath)
{
    try {
        // Reached from the project folder without following any link.
        const std::optional<QByteArray> bytes = RegularFile::readBeneath(projectPath, QStringLiteral("CLAUDE.md"), maxBytes);
        if (!bytes)
            return std::nullopt;
        return QString::fromUtf8(*bytes);
    } catch (const RegularFile::ReadError &e) {
        logLine(QStringLiteral("[Nerim agent] CLAUDE.md was left out of the run: %1").arg(QString::fromUtf8(e.what())));
        return std::nullopt;
    }
}

QString forAgent(const QString &projectPath, const QString &text)
{
    // The words the program itself puts above a project's CLAUDE.md, so the
    // agent weighs the notes as it would in the folder.
    return QStringLiteral("# claudeMd\nCodebase and user instructions are shown below. Be sure to adhere to these "
                          "instructions. IMPORTANT: These instructions OVERRIDE any default behavior and you MUST "
                          "follow them exactly as written.\n\nContents of %1 (project instructions, checked into the "
                          "codebase):\n\n")
               .arg(QDir(projectPath).filePath(QStringLiteral("CLAUDE.md"))) +
           text;
}

std::unique_ptr<File> File::write(const QString &text)
{
    // The runtime folder is the user's alone; QTemporaryFile creates the file
    // exclusively, readable by its owner only.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    QTemporaryFile file(QDir(folder.isEmpty() ? QDir::tempPath() : folder)
                            .filePath(QStringLiteral("nerim-project-instructions-XXXXXX.md")));
    file.setAutoRemove(false);
    const QByteArray bytes = text.toUtf8();
    if (!file.open() || file.write(bytes) != bytes.size() || !file.flush()) {
        logLine(QStringLiteral("[Nerim agent] CLAUDE.md was left out of the run: its copy for the agent couldn't be "
                               "written (%1)")
                    .arg(file.errorString()));
        if (file.isOpen()) {
            const QString written = file.fileName();
            file.close();
            QFile::remove(written);
        }
        return nullptr;
    }
    file.close();
    return std::unique_ptr<File>(new File(file.fileName()));
}

File::~File()
{
    QFile::remove(m_path);
}

} // namespace nerim::ProjectInstructions
