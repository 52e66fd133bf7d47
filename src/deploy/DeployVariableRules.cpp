#include "deploy/DeployVariableRules.h"

#include <QRegularExpression>

namespace nerim::DeployRuns {

bool isVariableName(const QString &name)
{
    static const QRegularExpression shape(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*\\z"));
    return shape.match(name).hasMatch();
}

bool isSettableVariable(const QString &name)
{
    if (!isVariableName(name))
        return false;
    const QString upper = name.toUpper();
    for (DeployProvider provider : DeployProvider::allCases())
        if (upper == provider.tokenVariable())
            return false;
    // Names that change what a program runs, loads, trusts or where it looks:
    // the shells' start-up files and options, the dynamic linker's, the
    // language runtimes' and package managers', OpenSSL's configuration and
    // modules, git's, the proxies and certificates, the providers' own
    // settings and Nerim's credentials. A project may declare such a name in
    // its .env; it still never reaches a run's environment from the card.
    static const QStringList exact{
        QStringLiteral("PATH"),          QStringLiteral("HOME"),         QStringLiteral("SHELL"),
        QStringLiteral("ENV"),           QStringLiteral("BASH_ENV"),     QStringLiteral("IFS"),
        QStringLiteral("CDPATH"),        QStringLiteral("GLOBIGNORE"),   QStringLiteral("SHELLOPTS"),
        QStringLiteral("BASHOPTS"),      QStringLiteral("PROMPT_COMMAND"), QStringLiteral("PS4"),
        QStringLiteral("ZDOTDIR"),       QStringLiteral("INPUTRC"),      QStringLiteral("HISTFILE"),
        QStringLiteral("TMPDIR"),        QStringLiteral("USER"),         QStringLiteral("LOGNAME"),
        QStringLiteral("EDITOR"),        QStringLiteral("VISUAL"),       QStringLiteral("PAGER"),
        QStringLiteral("MANPAGER"),      QStringLiteral("BROWSER"),      QStringLiteral("GCONV_PATH"),
        QStringLiteral("LOCPATH"),       QStringLiteral("NLSPATH"),      QStringLiteral("HOSTALIASES"),
        QStringLiteral("RES_OPTIONS"),   QStringLiteral("TERMINFO"),     QStringLiteral("TERMINFO_DIRS"),
        QStringLiteral("MAGIC"),         QStringLiteral("CLASSPATH"),    QStringLiteral("CURL_CA_BUNDLE"),
        QStringLiteral("CURL_HOME"),     QStringLiteral("WGETRC"),       QStringLiteral("REQUESTS_CA_BUNDLE"),
        QStringLiteral("GROQ_API_KEY"),  QStringLiteral("VERCEL_ORG_ID"), QStringLiteral("VERCEL_PROJECT_ID"),
        QStringLiteral("LESSOPEN"),      QStringLiteral("LESSCLOSE"),    QStringLiteral("KRB5_CONFIG"),
        QStringLiteral("GOFLAGS"),       QStringLiteral("GOPATH"),       QStringLiteral("GOROOT"),
        QStringLiteral("GOPROXY"),       QStringLiteral("GOTOOLCHAIN"),  QStringLiteral("GOENV"),
    };
    if (exact.contains(upper))
        return false;
    static const char *const prefixes[] = {
        "LD_",       "DYLD_",     "BASH_",     "GLIBC_",    "MALLOC_",   "NODE_",       "NPM_CONFIG_", "YARN_",
        "PNPM_",     "COREPACK_", "BUN_",      "DENO_",     "PYTHON",    "PIP_",        "UV_",         "CONDA_",
        "VIRTUAL_ENV", "PERL",    "RUBY",      "GEM_",      "BUNDLE_",   "JAVA",        "_JAVA_",      "JDK_",
        "OPENSSL_",  "SSL_",      "GNUTLS_",   "GIT_",      "SSH_",      "GNUPG",       "GPG_",        "DOCKER_",
        "XDG_",      "QT_",       "GTK_",      "GIO_",      "GDK_",      "LUA_",        "TCL",         "PHP",
        "COMPOSER_", "CARGO_",    "RUSTUP_",   "RUSTC",     "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY",  "NO_PROXY",
        "FTP_PROXY", "RAILWAY_",  "ANTHROPIC_", "CLAUDE_",  "NERIM_",
    };
    // NODE_ENV only names a mode; every other NODE_ name is the runtime's own.
    if (upper == QLatin1String("NODE_ENV"))
        return true;
    for (const char *prefix : prefixes)
        if (upper.startsWith(QLatin1String(prefix)))
            return false;
    return true;
}

bool isAskableSecret(const QString &name, const QStringList &declaredNames)
{
    return declaredNames.contains(name) && isSettableVariable(name);
}

QString refusedSecretReply(const QString &variable, const QStringList &declaredNames)
{
    QStringList askable;
    for (const QString &name : declaredNames)
        if (isSettableVariable(name) && !askable.contains(name))
            askable.append(name);
    return QStringLiteral("Nerim can't ask the user for %1: a value can be asked for only under a name this "
                          "project declares in its .env files, and never under one that changes how programs "
                          "start. %2")
        .arg(variable.trimmed(), askable.isEmpty()
                                     ? QStringLiteral("This project declares none.")
                                     : QStringLiteral("The names you can ask for are %1.").arg(askable.join(QStringLiteral(", "))));
}

std::optional<DeployProvider> providerForTokenRequest(const QString &variable, const QList<DeployProvider> &providers)
{
    const QString name = variable.trimmed();
    for (DeployProvider provider : providers)
        if (provider.tokenVariable().compare(name, Qt::CaseInsensitive) == 0)
            return provider;
    return std::nullopt;
}

QString askableTokenNames(const QList<DeployProvider> &providers)
{
    QStringList names;
    for (DeployProvider provider : providers)
        if (!names.contains(provider.tokenVariable()))
            names.append(provider.tokenVariable());
    return names.join(QStringLiteral(", "));
}

QString refusedTokenReply(const QString &variable, const QList<DeployProvider> &providers)
{
    return QStringLiteral("Nerim can't give you %1. The only tokens you can ask for are %2.")
        .arg(variable.trimmed(), askableTokenNames(providers));
}

QString refusedTokenLogLine(const QString &variable)
{
    return QStringLiteral("token request refused: %1").arg(variable.trimmed());
}

} // namespace nerim::DeployRuns
