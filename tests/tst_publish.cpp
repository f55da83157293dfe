// What qv_publish writes into a server directory, and what its check finds in broken ones.

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>

#include "checker.h"
#include "console.h"
#include "publisher.h"

using namespace publish;

using Mutation = std::function<void(const QString& serverDir)>;
Q_DECLARE_METATYPE(Mutation)

namespace {
QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QString sha256Of(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// Every file below dir with its bytes, so that "nothing changed" can be compared.
QMap<QString, QByteArray> snapshot(const QString& dir) {
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(dir).relativeFilePath(path), readAll(path));
    }
    return files;
}

void copyTree(const QString& from, const QString& to) {
    const QMap<QString, QByteArray> files = snapshot(from);
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        writeAll(QDir(to).filePath(it.key()), it.value());
    }
}

// Rewrites the first entry of the server's version list.
Mutation editEntry(std::function<void(QJsonObject&)> edit) {
    return [edit](const QString& dir) {
        const QString path = dir + QStringLiteral("/versions.json");
        QJsonArray list = QJsonDocument::fromJson(readAll(path)).array();
        QJsonObject entry = list.at(0).toObject();
        edit(entry);
        list[0] = entry;
        writeAll(path, QJsonDocument(list).toJson());
    };
}

// Appends an element (raw JSON text) to the server's version list.
Mutation appendElement(const QByteArray& element) {
    return [element](const QString& dir) {
        const QString path = dir + QStringLiteral("/versions.json");
        QByteArray text = readAll(path).trimmed();
        text.chop(1);
        writeAll(path, text + ",\n" + element + "]\n");
    };
}

Mutation editHashes(std::function<void(QJsonObject&)> edit) {
    return [edit](const QString& dir) {
        const QString path = dir + QStringLiteral("/hashlist.json");
        QJsonObject hashes = QJsonDocument::fromJson(readAll(path)).object();
        edit(hashes);
        writeAll(path, QJsonDocument(hashes).toJson());
    };
}

Mutation replaceFile(const QString& name, const QByteArray& bytes) {
    return [name, bytes](const QString& dir) {
        writeAll(QDir(dir).filePath(name), bytes);
    };
}

Mutation removeFile(const QString& name) {
    return [name](const QString& dir) {
        QVERIFY(QFile::remove(QDir(dir).filePath(name)));
    };
}

// A full entry that is fine apart from what its version label makes of it.
QByteArray fullEntry(const QByteArray& version) {
    return "{\"full\": true, \"version\": \"" + version +
           "\", \"download_url\": \"http://h/b.7z\", \"extract_to\": \"/app\", "
           "\"binary_name\": \"/prog\"}";
}

const QString baseUrl = QStringLiteral("http://127.0.0.1:9/srv");
} // namespace

class TestPublish : public QObject {
    Q_OBJECT

private:
    QTemporaryDir root;
    QString appDir;
    QString goodServer;
    SilentReporter quiet;

    PublishOptions options(const QString& serverDir, const QString& version) const {
        PublishOptions o;
        o.appDir = appDir;
        o.version = version;
        o.baseUrl = baseUrl;
        o.extractTo = QStringLiteral("/app");
        o.binaryName = QStringLiteral("/prog");
        o.serverDir = serverDir;
        return o;
    }

    QString newDir(const QString& name) {
        static int counter = 0;
        const QString dir = root.filePath(QStringLiteral("%1-%2").arg(name).arg(++counter));
        QDir().mkpath(dir);
        return dir;
    }

private slots:
    void initTestCase() {
        QVERIFY(root.isValid());
        appDir = root.filePath(QStringLiteral("app"));
        writeAll(appDir + QStringLiteral("/prog"), "#!/bin/sh\nexit 0\n");
        QFile(appDir + QStringLiteral("/prog"))
            .setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                            QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                            QFile::ExeOther);
        writeAll(appDir + QStringLiteral("/data.bin"), QByteArray(300000, 'q'));
        writeAll(appDir + QStringLiteral("/Mixed Case Name.txt"), "mixed\n");
        writeAll(appDir + QStringLiteral("/Settings.INI"), "[a]\n");
        writeAll(appDir + QStringLiteral("/.hidden"), "hidden\n");
        writeAll(appDir + QStringLiteral("/sub/nested.txt"), "nested\n");

        goodServer = newDir(QStringLiteral("good"));
        const PublishResult result =
            publishVersion(options(goodServer, QStringLiteral("2.5")), quiet);
        QVERIFY2(result.ok, qPrintable(result.error));
    }

    void publishedFilesMatchTheApplication() {
        // The hash list covers exactly the files the updater checks, digested independently.
        const QJsonObject hashes =
            QJsonDocument::fromJson(readAll(goodServer + QStringLiteral("/hashlist.json")))
                .object();
        QCOMPARE(hashes.keys(), (QStringList{QStringLiteral("Mixed Case Name.txt"),
                                             QStringLiteral("data.bin"), QStringLiteral("prog")}));
        for (const QString& name : hashes.keys()) {
            QCOMPARE(hashes.value(name).toString(), sha256Of(readAll(appDir + '/' + name)));
        }

        const QJsonArray list =
            QJsonDocument::fromJson(readAll(goodServer + QStringLiteral("/versions.json"))).array();
        QCOMPARE(list.size(), 1);
        const QJsonObject entry = list.at(0).toObject();
        const QByteArray archive = readAll(goodServer + QStringLiteral("/quorvex-2.5.7z"));
        QVERIFY(!archive.isEmpty());
        QCOMPARE(entry.value(QStringLiteral("full")), QJsonValue(true));
        QCOMPARE(entry.value(QStringLiteral("version")).toString(), QStringLiteral("2.5"));
        QCOMPARE(entry.value(QStringLiteral("download_url")).toString(),
                 baseUrl + QStringLiteral("/quorvex-2.5.7z"));
        QCOMPARE(entry.value(QStringLiteral("extract_to")).toString(), QStringLiteral("/app"));
        QCOMPARE(entry.value(QStringLiteral("binary_name")).toString(), QStringLiteral("/prog"));
        QVERIFY(entry.value(QStringLiteral("size")).isDouble());
        QCOMPARE(qint64(entry.value(QStringLiteral("size")).toDouble()), qint64(archive.size()));
        QCOMPARE(entry.value(QStringLiteral("sha256")).toString(), sha256Of(archive));
        // Nothing staged is left behind.
        QCOMPARE(QDir(goodServer).entryList(QDir::Files | QDir::Hidden),
                 (QStringList{QStringLiteral("hashlist.json"), QStringLiteral("quorvex-2.5.7z"),
                              QStringLiteral("versions.json")}));

        const CheckResult check = checkServerDir(goodServer, quiet);
        QVERIFY2(check.problems.isEmpty(), qPrintable(check.codes().join(' ')));
        QVERIFY(check.selected);
        QCOMPARE(check.entry, entry);
    }

    void checkFindsProblems_data() {
        QTest::addColumn<Mutation>("mutation");
        QTest::addColumn<QString>("code");
        auto row = [](const char* name, Mutation m, const char* code) {
            QTest::newRow(name) << m << QString::fromLatin1(code);
        };
        row("list is an object", replaceFile("versions.json", "{}"), "list-not-array");
        row("list is broken JSON", replaceFile("versions.json", "[{\"full\": true"),
            "list-not-array");
        row("list is missing", removeFile("versions.json"), "list-missing");
        row("element is a number", appendElement("7"), "element-not-object");
        row("element is a string", appendElement("\"1.0\""), "element-not-object");
        row("no full entry", editEntry([](QJsonObject& e) { e.insert("full", false); }),
            "no-full-entry");
        row("full is a string", editEntry([](QJsonObject& e) { e.insert("full", "true"); }),
            "full-not-boolean");
        row("label without digits", appendElement(fullEntry("beta")), "label-no-digits");
        row("label overflowing 32 bits", appendElement(fullEntry("2147483648")), "label-overflow");
        row("two full entries with one number", appendElement(fullEntry("25")), "duplicate-number");
        row("extract_to without slash",
            editEntry([](QJsonObject& e) { e.insert("extract_to", "app"); }), "extract-to");
        row("extract_to climbing out",
            editEntry([](QJsonObject& e) { e.insert("extract_to", "/app/../.."); }), "extract-to");
        row("extract_to on the download folder",
            editEntry([](QJsonObject& e) { e.insert("extract_to", "/update"); }), "extract-to");
        row("extract_to missing", editEntry([](QJsonObject& e) { e.remove("extract_to"); }),
            "extract-to");
        row("binary_name without slash",
            editEntry([](QJsonObject& e) { e.insert("binary_name", "prog"); }), "binary-name");
        row("binary_name climbing out",
            editEntry([](QJsonObject& e) { e.insert("binary_name", "/../prog"); }), "binary-name");
        row("URL ending in a slash",
            editEntry([](QJsonObject& e) { e.insert("download_url", "http://127.0.0.1:9/srv/"); }),
            "download-url");
        row("URL whose last segment decodes to ..", editEntry([](QJsonObject& e) {
                e.insert("download_url", "http://127.0.0.1:9/a/%2E%2E");
            }),
            "download-url");
        row("URL with an encoded slash",
            editEntry([](QJsonObject& e) { e.insert("download_url", "http://h/a%2Fb.7z"); }),
            "download-url");
        row("relative URL",
            editEntry([](QJsonObject& e) { e.insert("download_url", "quorvex-2.5.7z"); }),
            "download-url");
        row("size is a string", editEntry([](QJsonObject& e) { e.insert("size", "12"); }),
            "archive-keys");
        row("archive digest in uppercase", editEntry([](QJsonObject& e) {
                e.insert("sha256", e.value("sha256").toString().toUpper());
            }),
            "archive-keys");
        row("archive size differs",
            editEntry([](QJsonObject& e) { e.insert("size", e.value("size").toDouble() + 1); }),
            "archive-size");
        row("archive digest differs",
            editEntry([](QJsonObject& e) { e.insert("sha256", sha256Of("other")); }),
            "archive-sha256");
        row("archive missing", removeFile("quorvex-2.5.7z"), "archive-missing");
        row(
            "archive missing, entry without size and digest",
            [](const QString& dir) {
                editEntry([](QJsonObject& e) {
                    e.remove("size");
                    e.remove("sha256");
                })(dir);
                removeFile("quorvex-2.5.7z")(dir);
            },
            "archive-missing");
        row(
            "archive is not an archive",
            [](const QString& dir) {
                replaceFile("quorvex-2.5.7z", "not 7z")(dir);
                editEntry([](QJsonObject& e) {
                    e.remove("size");
                    e.remove("sha256");
                })(dir);
            },
            "archive-unreadable");
        row("hash list missing", removeFile("hashlist.json"), "hashlist-missing");
        row("hash list is an array", replaceFile("hashlist.json", "[]"), "hashlist-not-object");
        row("uppercase digest", editHashes([](QJsonObject& h) {
                h.insert("data.bin", h.value("data.bin").toString().toUpper());
            }),
            "digest-uppercase");
        row("short digest", editHashes([](QJsonObject& h) { h.insert("prog", "abc"); }),
            "digest-malformed");
        row("digest as a number", editHashes([](QJsonObject& h) { h.insert("prog", 42); }),
            "digest-malformed");
        row("file without a key",
            editHashes([](QJsonObject& h) { h.remove("Mixed Case Name.txt"); }), "file-no-key");
        row("key in another letter case", editHashes([](QJsonObject& h) {
                h.insert("mixed case name.txt", h.take("Mixed Case Name.txt"));
            }),
            "file-no-key");
        row("wrong digest", editHashes([](QJsonObject& h) { h.insert("prog", sha256Of("x")); }),
            "file-wrong-digest");
        row("executable not in the archive",
            editEntry([](QJsonObject& e) { e.insert("binary_name", "/quorvex"); }),
            "executable-missing");
        row("executable is a directory",
            editEntry([](QJsonObject& e) { e.insert("binary_name", "/sub"); }),
            "executable-missing");
    }

    void checkFindsProblems() {
        QFETCH(Mutation, mutation);
        QFETCH(QString, code);
        const QString dir = newDir(QStringLiteral("broken"));
        copyTree(goodServer, dir);
        mutation(dir);
        const CheckResult result = checkServerDir(dir, quiet);
        QVERIFY2(result.has(code),
                 qPrintable(QStringLiteral("found: ") + result.codes().join(' ')));
    }

    void existingListKeepsItsEntries_data() {
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<QList<int>>("kept"); // indexes of elements that must survive verbatim
        QTest::addColumn<int>("position");    // where the new entry must end up
        QTest::addColumn<int>("size");
        const QByteArray older =
            "{\"zeta\": 1, \"full\": true, \"version\": \"1.9\", \"download_url\": "
            "\"http://o/q-1.9.7z\","
            " \"extract_to\": \"/app\", \"binary_name\": \"/prog\", \"build\": "
            "12345678901234567890,"
            " \"notes\": {\"ru\": \"\\u0412\\u0435\\u0440\\u0441\\u0438\\u044f\", \"list\": [1, "
            "\"]\", {\"a\": null}]},"
            " \"ratio\": 1.50}";
        const QByteArray patch = "{\"full\": false, \"version\": \"2.5\", \"delta\": \"x\\\"y\"}";
        QTest::newRow("empty file") << QByteArray() << QList<int>{} << 0 << 1;
        QTest::newRow("compact list with unknown keys")
            << ("[" + older + "," + patch + ",7,\"text\"]") << QList<int>{0, 1, 2, 3} << 4 << 5;
        QTest::newRow("same label replaced in place")
            << ("[\n  " + older +
                ",\n  {\"full\": true, \"version\": \"2.5\", \"download_url\": "
                "\"http://o/x.7z\"},\n  " +
                patch + "\n]")
            << QList<int>{0, 2} << 1 << 3;
        QTest::newRow("same label twice")
            << QByteArray("[{\"full\": true, \"version\": \"2.5\"}, {\"x\": 1}, {\"full\": true, "
                          "\"version\": \"2.5\"}]")
            << QList<int>{1} << 0 << 2;
    }

    void existingListKeepsItsEntries() {
        QFETCH(QByteArray, existing);
        QFETCH(QList<int>, kept);
        QFETCH(int, position);
        QFETCH(int, size);
        const QString dir = newDir(QStringLiteral("merge"));
        writeAll(dir + QStringLiteral("/versions.json"), existing);
        const QJsonArray before = QJsonDocument::fromJson(existing).array();

        const PublishResult result = publishVersion(options(dir, QStringLiteral("2.5")), quiet);
        QVERIFY2(result.ok, qPrintable(result.error));

        const QByteArray written = readAll(dir + QStringLiteral("/versions.json"));
        const QJsonArray after = QJsonDocument::fromJson(written).array();
        QCOMPARE(after.size(), size);
        QCOMPARE(after.at(position).toObject(), result.entry);
        int next = 0;
        for (int index : kept) {
            if (next == position) {
                ++next;
            }
            QCOMPARE(after.at(next++), before.at(index));
        }
        // The exact text survives too: big integers, escapes, key order and spacing.
        if (!existing.isEmpty()) {
            QVERIFY(written.contains("12345678901234567890") ==
                    existing.contains("12345678901234567890"));
            QVERIFY(written.contains("\"ratio\": 1.50}") == existing.contains("\"ratio\": 1.50}"));
            QVERIFY(written.contains("\\u0412") == existing.contains("\\u0412"));
            QVERIFY(written.contains("\"delta\": \"x\\\"y\"") ==
                    existing.contains("\"delta\": \"x\\\"y\""));
        }
    }

    void refusedPublishingChangesNothing_data() {
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<QString>("version");
        QTest::newRow("list is an object") << QByteArray("{\"full\": true}") << "2.5";
        QTest::newRow("list is broken JSON") << QByteArray("[{\"full\": tru") << "2.5";
        QTest::newRow("a newer version exists")
            << QByteArray(
                   "[{\"full\": true, \"version\": \"3.0\", \"download_url\": \"http://o/a.7z\"}]")
            << "2.5";
        QTest::newRow("another label with the same number")
            << QByteArray(
                   "[{\"full\": true, \"version\": \"25\", \"download_url\": \"http://o/a.7z\"}]")
            << "2.5";
    }

    void refusedPublishingChangesNothing() {
        QFETCH(QByteArray, existing);
        QFETCH(QString, version);
        const QString dir = newDir(QStringLiteral("refused"));
        writeAll(dir + QStringLiteral("/versions.json"), existing);
        writeAll(dir + QStringLiteral("/hashlist.json"), "{\"keep\": \"me\"}");
        const auto before = snapshot(dir);
        const PublishResult result = publishVersion(options(dir, version), quiet);
        QVERIFY(!result.ok);
        QVERIFY(!result.error.isEmpty());
        QCOMPARE(snapshot(dir), before);
    }

    void badOptionsAreRefused_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::newRow("no app dir") << "appDir"
                                    << "/nonexistent/app";
        QTest::newRow("label without digits") << "version"
                                              << "beta";
        QTest::newRow("label overflowing") << "version"
                                           << "1.2147483648";
        QTest::newRow("label with a slash") << "version"
                                            << "1/2";
        QTest::newRow("label with a space") << "version"
                                            << "1 2";
        QTest::newRow("ftp base URL") << "baseUrl"
                                      << "ftp://127.0.0.1/x";
        QTest::newRow("base URL without host") << "baseUrl"
                                               << "http:///x";
        QTest::newRow("base URL with query") << "baseUrl"
                                             << "http://h/x?y=1";
        QTest::newRow("extract_to without slash") << "extractTo"
                                                  << "app";
        QTest::newRow("extract_to climbing") << "extractTo"
                                             << "/a/../b";
        QTest::newRow("extract_to is the data dir") << "extractTo"
                                                    << "/";
        QTest::newRow("extract_to is the download folder") << "extractTo"
                                                           << "/update";
        QTest::newRow("binary_name without slash") << "binaryName"
                                                   << "prog";
        QTest::newRow("binary_name not in the app") << "binaryName"
                                                    << "/quorvex";
        QTest::newRow("binary_name not executable") << "binaryName"
                                                    << "/data.bin";
        QTest::newRow("server dir inside the app") << "serverDir"
                                                   << "";
    }

    void badOptionsAreRefused() {
        QFETCH(QString, field);
        QFETCH(QString, value);
        PublishOptions o = options(newDir(QStringLiteral("opts")), QStringLiteral("2.5"));
        if (field == QLatin1String("appDir"))
            o.appDir = value;
        if (field == QLatin1String("version"))
            o.version = value;
        if (field == QLatin1String("baseUrl"))
            o.baseUrl = value;
        if (field == QLatin1String("extractTo"))
            o.extractTo = value;
        if (field == QLatin1String("binaryName"))
            o.binaryName = value;
        if (field == QLatin1String("serverDir"))
            o.serverDir = appDir + QStringLiteral("/sub");
        QVERIFY(!optionsProblem(o).isEmpty());
    }

    void commandLine_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        const QString tool = QStringLiteral("%1/qv_publish");
        QTest::newRow("no command") << QStringList{} << 2 << "no command";
        QTest::newRow("help") << QStringList{"--help"} << 0 << "hashlist.json";
        QTest::newRow("help of a command") << QStringList{"publish", "--help"} << 0 << "--base-url";
        QTest::newRow("unknown command") << QStringList{"deploy"} << 2 << "unknown command";
        QTest::newRow("unknown option")
            << QStringList{"check", "--sever-dir", "."} << 2 << "unknown option --sever-dir";
        QTest::newRow("option without value")
            << QStringList{"check", "--server-dir"} << 2 << "needs a value";
        QTest::newRow("publish without version")
            << QStringList{"publish",      "--app-dir", "APP",           "--base-url", "http://h",
                           "--extract-to", "/app",      "--binary-name", "/prog"}
            << 2 << "--version is required";
        QTest::newRow("check of a good tree") << QStringList{"check", "--server-dir", "GOOD"} << 0
                                              << "would install entry 0: version \"2.5\"";
        QTest::newRow("check of a broken tree")
            << QStringList{"check", "--server-dir", "BROKEN"} << 1 << "PROBLEM [hashlist-missing]";
        QTest::newRow("check of no directory")
            << QStringList{"check", "--server-dir", "/nonexistent"} << 2 << "not a directory";
    }

    void commandLine() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        const QString broken = newDir(QStringLiteral("cli"));
        copyTree(goodServer, broken);
        QFile::remove(broken + QStringLiteral("/hashlist.json"));
        for (QString& argument : arguments) {
            argument.replace(QStringLiteral("GOOD"), goodServer)
                .replace(QStringLiteral("BROKEN"), broken)
                .replace(QStringLiteral("APP"), appDir);
        }
        QProcess tool;
        tool.setProcessChannelMode(QProcess::MergedChannels);
        tool.start(qEnvironmentVariable("QUORVEX_TEST_BINARY_DIR") + QStringLiteral("/qv_publish"),
                   arguments);
        QVERIFY(tool.waitForFinished(60000));
        const QString text = QString::fromLocal8Bit(tool.readAll());
        QVERIFY2(text.contains(output), qPrintable(text));
        QCOMPARE(tool.exitCode(), exitCode);
    }
};

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
