// The options of publish, judged before anything is written: the label, the URL, the paths
// that the updater will use, the executable, and where the server directory lies.

#include "publisher.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include "checker.h"
#include "documents.h"
#include "downloader.h"
#include "manifest.h"
#include "signing.h"
#include "tree.h"

namespace publish {

namespace {
QString labelProblem(const QString& version) {
    static const QRegularExpression allowed(QStringLiteral("^[0-9A-Za-z._+-]+$"));
    if (version.isEmpty()) {
        return QStringLiteral("--version is required");
    }
    if (!allowed.match(version).hasMatch()) {
        return QStringLiteral("version \"%1\" may hold only letters, digits and . _ + -")
            .arg(version);
    }
    QString digits = version;
    digits.remove(QRegularExpression(QStringLiteral("[^\\d]")));
    if (digits.isEmpty()) {
        return QStringLiteral("version \"%1\" has no digits: the updater reads its number as 0 "
                              "and never installs it")
            .arg(version);
    }
    if (documents::versionNumber(version) <= 0) {
        return QStringLiteral("the digits of version \"%1\" (%2) do not read as a positive "
                              "signed 32-bit number: the updater would never install it")
            .arg(version, digits);
    }
    return QString();
}

QString pathProblem(const QString& option, const QString& value) {
    if (!value.startsWith(QLatin1Char('/')) || value.size() < 2) {
        return QStringLiteral("%1 \"%2\" must start with \"/\" and name something")
            .arg(option, value);
    }
    if (value.contains(QStringLiteral(".."))) {
        return QStringLiteral("%1 \"%2\" must not contain \"..\"").arg(option, value);
    }
    return QString();
}

// The absolute path with every symbolic link resolved, also when its last components do not
// exist yet (they are then taken as written).
QString resolvedPath(const QString& path) {
    QString existing = QDir(path).absolutePath();
    QStringList missing;
    while (!QFileInfo::exists(existing) && !QFileInfo(existing).isRoot()) {
        missing.prepend(QFileInfo(existing).fileName());
        existing = QFileInfo(existing).path();
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    return QDir::cleanPath(
        QDir(canonical.isEmpty() ? existing : canonical).filePath(missing.join(QLatin1Char('/'))));
}

} // namespace

QString trimmedBaseUrl(const QString& baseUrl) {
    QString base = baseUrl;
    while (base.endsWith(QLatin1Char('/'))) {
        base.chop(1);
    }
    return base;
}

QString archiveFileName(const QString& version) {
    return QStringLiteral("quorvex-%1.7z").arg(version);
}

QString servedUrl(const QString& baseUrl, const QString& fileName) {
    return trimmedBaseUrl(baseUrl) + QLatin1Char('/') +
           QString::fromLatin1(QUrl::toPercentEncoding(fileName));
}

QString optionsProblem(const PublishOptions& options) {
    if (options.appDir.isEmpty()) {
        return QStringLiteral("--app-dir is required");
    }
    if (!QFileInfo(options.appDir).isDir()) {
        return QStringLiteral("--app-dir \"%1\" is not a directory").arg(options.appDir);
    }
    const QString undecodable = tree::nameNotUtf8(options.appDir);
    if (!undecodable.isEmpty()) {
        return QStringLiteral("--app-dir holds \"%1\", a name that is not UTF-8: Windows cannot "
                              "hold it and the updater could not remove it")
            .arg(undecodable);
    }
    QString problem = labelProblem(options.version);
    if (!problem.isEmpty()) {
        return problem;
    }
    if (options.baseUrl.isEmpty()) {
        return QStringLiteral("--base-url is required");
    }
    const QUrl base(trimmedBaseUrl(options.baseUrl), QUrl::StrictMode);
    const QString scheme = base.scheme();
    if (!base.isValid() || base.host().isEmpty() ||
        (scheme != QLatin1String("http") && scheme != QLatin1String("https")) || base.hasQuery() ||
        base.hasFragment()) {
        return QStringLiteral("--base-url \"%1\" must be an absolute http:// or https:// URL "
                              "without query or fragment")
            .arg(options.baseUrl);
    }
    const QString url = servedUrl(options.baseUrl, archiveFileName(options.version));
    if (Downloader::targetFileName(QUrl(url, QUrl::TolerantMode)) !=
        archiveFileName(options.version)) {
        return QStringLiteral("the archive URL %1 would not be saved under its own name").arg(url);
    }
    if (options.extractTo.isEmpty()) {
        return QStringLiteral("--extract-to is required");
    }
    problem = pathProblem(QStringLiteral("--extract-to"), options.extractTo);
    if (problem.isEmpty()) {
        const QString why = documents::installTargetProblem(exampleDataDir(), options.extractTo);
        if (!why.isEmpty()) {
            problem = QStringLiteral("--extract-to \"%1\" is refused by the updater (%2)")
                          .arg(options.extractTo, why);
        }
    }
    if (!problem.isEmpty()) {
        return problem;
    }
    if (options.binaryName.isEmpty()) {
        return QStringLiteral("--binary-name is required");
    }
    problem = pathProblem(QStringLiteral("--binary-name"), options.binaryName);
    if (problem.isEmpty()) {
        const QString why = documents::binaryNameProblem(options.binaryName);
        if (!why.isEmpty()) {
            problem = QStringLiteral("--binary-name \"%1\" is refused by the updater (%2)")
                          .arg(options.binaryName, why);
        }
    }
    if (!problem.isEmpty()) {
        return problem;
    }
    const QFileInfo binary(options.appDir + options.binaryName);
    if (!binary.isFile()) {
        return QStringLiteral("the executable %1 is not in --app-dir").arg(binary.filePath());
    }
#ifndef Q_OS_WIN
    if (!binary.isExecutable()) {
        return QStringLiteral("%1 has no execute permission").arg(binary.filePath());
    }
#endif
    if (options.serverDir.isEmpty()) {
        return QStringLiteral("--server-dir must not be empty");
    }
    if (QFileInfo::exists(options.serverDir) && !QFileInfo(options.serverDir).isDir()) {
        return QStringLiteral("--server-dir \"%1\" is not a directory").arg(options.serverDir);
    }
    // Compared as the file system resolves them: a server directory reached through a symbolic
    // link into the application would be packed into every release.
    const QString server = resolvedPath(options.serverDir);
    QString app = resolvedPath(options.appDir);
    if (!app.endsWith(QLatin1Char('/'))) {
        app += QLatin1Char('/');
    }
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity sensitivity = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity sensitivity = Qt::CaseSensitive;
#endif
    if ((server + QLatin1Char('/')).startsWith(app, sensitivity)) {
        return QStringLiteral("--server-dir must not lie inside --app-dir (%1 is in %2)")
            .arg(server, app);
    }
    if (options.deltaFrom < 0 || options.deltaFrom > documents::MaxDeltas) {
        return QStringLiteral("--delta-from must be a whole number from 0 to %1")
            .arg(documents::MaxDeltas);
    }
    QByteArray key;
    if (!options.signingKey.isEmpty() &&
        !signing::readKeyFile(options.signingKey, &key, &problem)) {
        return QStringLiteral("--signing-key: ") + problem;
    }
    return QString();
}

} // namespace publish
