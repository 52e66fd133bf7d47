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
    // A name any program of a Deploy run reads to decide how it starts, where
    // it works, what it loads or whom it talks to: the agent program, the
    // shell, git, node and npm, the providers' tools (and what they are
    // written in), dig and the resolver. By prefix first: each of those
    // programs' own names, the dynamic linker's, the language runtimes' and
    // package managers', TLS and the locale.
    static const char *const prefixes[] = {
        "SUPABASE_", "VERCEL_",  "NOW_",      "RAILWAY_",  "GIT_",     "GCM_",        "NODE_",    "NPM_",
        "YARN_",     "PNPM_",    "COREPACK_", "BUN_",      "DENO_",    "DOTNET_",     "COMPLUS_", "CORECLR_",
        "ELECTRON_", "LD_",      "DYLD_",     "GLIBC_",    "MALLOC_",  "BASH_",       "CLAUDE_",  "ANTHROPIC_",
        "NERIM_",    "OTEL_",    "LC_",       "TEXTDOMAIN", "OPENSSL_", "SSL_",       "GNUTLS_",  "CURL_",
        "SSH_",      "GNUPG",    "GPG_",      "DOCKER_",   "XDG_",     "QT_",         "GTK_",     "GIO_",
        "GDK_",      "PYTHON",   "PIP_",      "UV_",       "CONDA_",   "VIRTUAL_ENV", "PERL",     "RUBY",
        "GEM_",      "BUNDLE_",  "JAVA",      "_JAVA_",    "JDK_",     "GUILE_",      "LUA_",     "TCL",
        "PHP",       "COMPOSER_", "CARGO_",   "RUSTUP_",   "RUSTC",    "HTTP_PROXY",  "HTTPS_PROXY", "ALL_PROXY",
        "NO_PROXY",  "FTP_PROXY", "DISABLE_", "MCP_",     "DBUS_",    "KRB5",
    };
    for (const char *prefix : prefixes)
        if (upper.startsWith(QLatin1String(prefix)))
            return false;
    // Then by ending: every search path (PATH, CDPATH, MANPATH, an
    // interpreter's load path such as GUILE_LOAD_PATH) and every proxy
    // (http_proxy, HTTPS_PROXY, ALL_PROXY, NO_PROXY, in any case).
    if (upper.endsWith(QLatin1String("PATH")) || upper.endsWith(QLatin1String("_PROXY")))
        return false;
    // And a short list of single names: the shell's start-up, options and
    // word splitting, where programs work and put and find their files, who
    // the user is, the locale, time zone and resolver, the programs others
    // start, the display and keyring a credential helper talks to, and CA
    // bundles, TLS key logs and Go runtime settings not covered above.
    static const QStringList exact{
        QStringLiteral("HOME"),          QStringLiteral("SHELL"),        QStringLiteral("ENV"),
        QStringLiteral("IFS"),           QStringLiteral("TMPDIR"),       QStringLiteral("GLOBIGNORE"),
        QStringLiteral("SHELLOPTS"),     QStringLiteral("BASHOPTS"),     QStringLiteral("PROMPT_COMMAND"),
        QStringLiteral("PS4"),           QStringLiteral("ZDOTDIR"),      QStringLiteral("INPUTRC"),
        QStringLiteral("HISTFILE"),      QStringLiteral("HOSTFILE"),     QStringLiteral("EXECIGNORE"),
        QStringLiteral("POSIXLY_CORRECT"), QStringLiteral("USER"),       QStringLiteral("LOGNAME"),
        QStringLiteral("PREFIX"),        QStringLiteral("LANG"),         QStringLiteral("LANGUAGE"),
        QStringLiteral("TZ"),            QStringLiteral("TZDIR"),        QStringLiteral("LOCALDOMAIN"),
        QStringLiteral("RES_OPTIONS"),   QStringLiteral("HOSTALIASES"),  QStringLiteral("EDITOR"),
        QStringLiteral("VISUAL"),        QStringLiteral("PAGER"),        QStringLiteral("MANPAGER"),
        QStringLiteral("BROWSER"),       QStringLiteral("LESSOPEN"),     QStringLiteral("LESSCLOSE"),
        QStringLiteral("TERMINFO"),      QStringLiteral("TERMINFO_DIRS"), QStringLiteral("MAGIC"),
        QStringLiteral("NETRC"),         QStringLiteral("WGETRC"),       QStringLiteral("REQUESTS_CA_BUNDLE"),
        QStringLiteral("SSLKEYLOGFILE"), QStringLiteral("TERMCAP"),      QStringLiteral("PWD"),
        QStringLiteral("OLDPWD"),        QStringLiteral("TMP"),          QStringLiteral("TEMP"),
        QStringLiteral("DISPLAY"),       QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("XAUTHORITY"),
        QStringLiteral("GNOME_KEYRING_CONTROL"), QStringLiteral("USE_BUILTIN_RIPGREP"),
        QStringLiteral("GROQ_API_KEY"),  QStringLiteral("GODEBUG"),      QStringLiteral("GOFLAGS"),
        QStringLiteral("GOROOT"),        QStringLiteral("GOPROXY"),      QStringLiteral("GOTOOLCHAIN"),
        QStringLiteral("GOENV"),
    };
    return !exact.contains(upper);
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
