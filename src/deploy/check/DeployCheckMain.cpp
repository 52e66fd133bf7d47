// nerim-deploy-check: the check a Deploy run's agent program runs before each
// of its tool calls (see deploy/DeployCommandCheck.h). Its arguments are the
// run's allowed commands; the call arrives as JSON on standard input; the
// project folder is the one the process guard recorded for the run. Exit 0
// lets the call go on to the program's own rules; exit 2, with the reason on
// standard error, refuses it. The program is started as
// "'nerim-deploy-check' … || exit 2", so that a check that cannot run at all
// refuses too.
#include "deploy/DeployCommandCheck.h"

#include <QByteArray>
#include <QStringList>
#include <cstdio>
#include <unistd.h>

namespace {

[[noreturn]] void refuse(const QString &why)
{
    const QByteArray line = why.toUtf8() + '\n';
    (void)!write(STDERR_FILENO, line.constData(), size_t(line.size()));
    _exit(2);
}

} // namespace

int main(int argc, char **argv)
{
    using namespace nerim::DeployCommandCheck;
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const std::optional<QList<Rule>> rules = rulesFromArguments(arguments);
    if (!rules)
        refuse(QStringLiteral("Nerim refused this step: the deploy's list of commands did not read."));
    const char *project = getenv("NERIM_GIT_PROJECT");
    if (!project || !*project)
        refuse(QStringLiteral("Nerim refused this step: the deploy's project folder is not known."));

    // The call's description, at most 16 MiB (a Read names a path; a Bash call a line).
    QByteArray input;
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0 || input.size() + got > (qsizetype(16) << 20))
            refuse(QStringLiteral("Nerim refused this step: its description could not be read."));
        input.append(buffer, got);
    }
    if (const std::optional<QString> why = toolCallRefusal(input, *rules, QString::fromLocal8Bit(project)))
        refuse(*why);
    return 0;
}
