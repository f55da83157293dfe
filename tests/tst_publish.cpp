// What qv_publish writes into a server directory, what its check finds in broken ones, which
// options it refuses, and how its command line answers.

#include <QtTest>

#include "checker.h"
#include "console.h"
#include "delta.h"
#include "documents.h"
#include "manifest.h"
#include "publisher.h"
#include "replacement.h"
#include "serverfiles.h"
#include "serverlock.h"
#include "signing.h"
#include "storedobject.h"
#include "testenv.h"
#include "versionlist.h"
#include <optional>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace publish;
using namespace testenv;

using Mutation = std::function<void(const QString& serverDir)>;
using Field = QString PublishOptions::*;
Q_DECLARE_METATYPE(QList<Mutation>)
Q_DECLARE_METATYPE(Field)

namespace {
const char* const V = "versions.json";
const char* const H = "hashlist.json";
const char* const A = "quorvex-2.5.7z";
const char* const VS = "versions.json.sig";
const char* const HS = "hashlist.json.sig";
const QString baseUrl = QStringLiteral("http://h/s");

// Sets a key of the version list's only entry.
Mutation edit(const char* key, const QJsonValue& value) {
    return [=](const QString& dir) {
        QJsonObject entry = QJsonDocument::fromJson(readFile(dir + '/' + V)).array()[0].toObject();
        entry.insert(key, value);
        writeFile(dir + '/' + V, QJsonDocument(QJsonArray{entry}).toJson());
    };
}

// Replaces a file of the server directory, or removes it when bytes is null.
Mutation put(const char* file, const QByteArray& bytes = QByteArray()) {
    return [=](const QString& dir) {
        bytes.isNull() ? QFile::remove(dir + '/' + file) : writeFile(dir + '/' + file, bytes);
    };
}

// The entry's manifest, as a file of the server directory.
QString manifestOf(const QString& dir) {
    const QJsonObject entry =
        QJsonDocument::fromJson(readFile(dir + '/' + V)).array()[0].toObject();
    return dir + '/' + entry["manifest_url"].toString().section("/s/", 1);
}

// Changes the manifest, keeping the entry's keys true to it.
Mutation manifest(const std::function<QJsonObject(QJsonObject)>& change) {
    return [=](const QString& dir) {
        const QString path = manifestOf(dir);
        const QByteArray text =
            QJsonDocument(change(QJsonDocument::fromJson(readFile(path)).object())).toJson();
        writeFile(path, text);
        edit("manifest_size", text.size())(dir);
        edit("manifest_sha256", sha256(text))(dir);
    };
}

// Changes the object of the manifest's first file.
Mutation object(const std::function<QByteArray(QByteArray)>& change) {
    return [=](const QString& dir) {
        const QJsonObject m = QJsonDocument::fromJson(readFile(manifestOf(dir))).object();
        const QString sha = m["files"].toArray()[0].toObject()["sha256"].toString();
        const QString path = dir + "/store/" + sha.left(2) + '/' + sha;
        const QByteArray bytes = change(readFile(path));
        bytes.isNull() ? QFile::remove(path) : writeFile(path, bytes);
    };
}

// Lists a delta of the manifest's first file from its second file's content, stored as bytes
// (not at all when null), of packed bytes as the manifest says.
Mutation deltaOf(const QByteArray& bytes, int packed) {
    return [=](const QString& dir) {
        QString to, from;
        manifest([&](QJsonObject m) {
            QJsonArray files = m["files"].toArray();
            QJsonObject first = files[0].toObject();
            const QJsonObject second = files[1].toObject();
            to = first["sha256"].toString();
            from = second["sha256"].toString();
            first["deltas"] = QJsonArray{
                QJsonObject{{"from", from}, {"from_size", second["size"]}, {"packed", packed}}};
            files[0] = first;
            m["files"] = files;
            return m;
        })(dir);
        QVERIFY(bytes.isNull() ||
                writeFile(dir + "/store/" + documents::deltaName(to, from), bytes));
    };
}

// JSON text written with single quotes.
QByteArray js(const char* text) {
    return QByteArray(text).replace('\'', '"');
}

// A full entry as publish writes it for 2.5, less "size" and "sha256", under another label.
QByteArray full(const char* label) {
    return js("{'full': true, 'version': '") + label +
           js("', 'download_url': 'http://h/s/quorvex-2.5.7z', 'extract_to': '/app', "
              "'binary_name': '/prog'}");
}
} // namespace

class TestPublish : public QObject {
    Q_OBJECT

    QTemporaryDir root;
    QString appDir, newAppDir;
    QString goodServer;
    QString key, publicKey; // the good server is signed with the key file key
    SilentReporter quiet;

    PublishOptions options(const QString& serverDir, const QString& signingKey = {}) const {
        return PublishOptions{appDir, "2.5", baseUrl, "/app", "/prog", serverDir, signingKey};
    }

    // The tests' build of qv_publish, paused before its move pauseAt unless that is negative.
    static void start(QProcess& tool, const QStringList& arguments, int pauseAt = -1) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (pauseAt >= 0) {
            environment.insert("QV_PUBLISH_TEST_PAUSE_AT", QString::number(pauseAt));
        }
        tool.setProcessEnvironment(environment);
        tool.setProcessChannelMode(QProcess::MergedChannels);
        tool.start(executable(QCoreApplication::applicationDirPath() + "/../qv_publish_paused"),
                   arguments);
    }

    // Publishes newAppDir, whose hash list differs from appDir's.
    QStringList publishNew(const QString& serverDir, const char* version) const {
        return {"publish",    "--app-dir",     newAppDir,      "--version", version,
                "--base-url", baseUrl,         "--server-dir", serverDir,   "--extract-to",
                "/app",       "--binary-name", "/prog"};
    }

    // Collects tool's output in *text until it holds what.
    static bool waitFor(QProcess& tool, QString* text, const char* what) {
        return QTest::qWaitFor(
                   [&] {
                       *text += QString::fromLocal8Bit(tool.readAll());
                       return text->contains(what) || tool.state() == QProcess::NotRunning;
                   },
                   180000) && // 7-Zip under Wine on a loaded machine takes its time
               text->contains(what);
    }

private slots:
    void initTestCase() {
        QVERIFY(root.isValid());
        appDir = root.filePath("app");
        goodServer = root.filePath("good");
        QVERIFY(writeTree(appDir, {{"prog", "#!/bin/sh\nexit 0\n"},
                                   {"data.bin", QByteArray(300000, 'q')},
                                   {"Mixed Case Name.txt", "mixed\n"},
                                   {"Settings.INI", "[a]\n"},
                                   {".hidden", "hidden\n"},
                                   {"sub/nested.txt", "nested\n"}}));
        QVERIFY(QFile::setPermissions(appDir + "/prog", QFile::ReadOwner | QFile::ExeOwner));
        newAppDir = root.filePath("new");
        QVERIFY(writeTree(newAppDir, {{"prog", "#!/bin/sh\nexit 1\n"}}));
        QVERIFY(QFile::setPermissions(newAppDir + "/prog", QFile::ReadOwner | QFile::ExeOwner));
        key = root.filePath("signing.key");
        QString error;
        QVERIFY(signing::writeKeyFile(key, signing::generateKey(), &error));
        const PublishResult result = publishVersion(options(goodServer, key), quiet);
        QVERIFY2(result.ok, qPrintable(result.error));
        publicKey = result.publicKey;
    }

    void cleanupTestCase() {
        QFile::setPermissions(root.filePath("readonly"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
#ifndef Q_OS_WIN
        unlink(QFile::encodeName(root.filePath("bad")) + "/n\xff"); // which Qt could not remove
#endif
    }

    void publishWritesTheRelease() {
        Tree server = readTree(goodServer);
        // The manifest lists the whole tree; each file's object is in the store.
        const QStringList perFile = server.keys().filter(QRegularExpression("^(manifests|store)/"));
        const QString manifestName = perFile.filter(QRegularExpression("^manifests/.+")).value(0);
        const QByteArray manifestText = server.value(manifestName);
        const auto manifest = documents::parseManifest(manifestText);
        QVERIFY(manifest);
        Tree listed;
        QStringList objects;
        for (const documents::ManifestFile& file : manifest->files) {
            listed.insert(file.path, readFile(appDir + '/' + file.path));
            QCOMPARE(file.sha256, sha256(listed.value(file.path)));
            objects << "store/" + file.sha256.left(2) + "/" + file.sha256;
        }
        Tree app = readTree(appDir);
        app.remove("sub/");
        QCOMPARE(listed, app);
        for (const QString& object : objects) {
            QVERIFY2(server.contains(object), qPrintable(object));
        }
        // The manifest is an object of the store too (check proves it below).
        const QByteArray manifestObject = server.value(publish::objectName(sha256(manifestText)));
        for (const QString& key : perFile) {
            server.remove(key);
        }
        // Nothing staged is left behind.
        QCOMPARE(server.keys(), QStringList({H, HS, A, V, VS}));
        const QByteArray archive = server.value(A);
        QJsonObject expected = QJsonDocument::fromJson(full("2.5")).object();
        expected["size"] = double(archive.size());
        expected["sha256"] = sha256(archive);
        expected["manifest_url"] = baseUrl + "/" + manifestName;
        expected["manifest_size"] = manifestText.size();
        expected["manifest_sha256"] = sha256(manifestText);
        expected["manifest_store"] = baseUrl + "/store/";
        expected["manifest_packed"] = manifestObject.size();
        QVERIFY(!manifestObject.isEmpty());
        QCOMPARE(QJsonDocument::fromJson(server.value(V)).array(), QJsonArray{expected});
        // Everything in the application directory is packed, hidden files and folders too.
        QTemporaryDir unpacked;
        QString error;
        QVERIFY(extractArchive(goodServer + '/' + A, unpacked.path(), quiet, &error));
        QCOMPARE(readTree(unpacked.path()), readTree(appDir));

        const CheckResult check = checkServerDir(goodServer, quiet, publicKey);
        QVERIFY2(check.problems.isEmpty(), qPrintable(check.codes().join(' ')));
        QCOMPARE(check.entry, expected);
    }

    // The row's name is the code the check must report, with "/variant" for other branches.
    void checkFindsProblems_data() {
        QTest::addColumn<QList<Mutation>>("mutations");
        auto row = [](const char* code, auto... m) {
            QTest::newRow(code) << QList<Mutation>{m...};
        };
        row("list-missing", put(V));
        row("list-too-large", put(V, QByteArray(documents::MaxVersionListSize + 1, ' ')));
        row("list-not-array", put(V, "{}"));
        row("element-not-object", put(V, "[7]"));
        row("full-not-boolean", edit("full", "true"));
        row("no-full-entry", edit("full", false));
        row("label-no-digits", put(V, "[" + full("beta") + "]"));
        row("label-overflow", put(V, "[" + full("2147483648") + "]"));
        row("label-zero", put(V, "[" + full("0.0") + "]"));
        row("duplicate-number", put(V, "[" + full("2.5") + "," + full("25") + "]"));
        row("extract-to", edit("extract_to", "app"));
        row("extract-to/refused", edit("extract_to", "/hashlist.json"));
        row("binary-name", edit("binary_name", "prog"));
        row("binary-name/refused", edit("binary_name", "/pro\x01g"));
        row("executable-path", edit("binary_name", "/" + QString(210, 'p')));
        row("download-url", edit("download_url", A));
        row("download-url/file-name", edit("download_url", "http://h/s/"));
        row("archive-keys", edit("size", "12"));
        row("archive-size", edit("size", 1));
        // The updater compares digests exactly: one in upper case never matches.
        row("archive-sha256", edit("sha256", sha256(readFile(goodServer + '/' + A)).toUpper()));
        row("archive-missing", put(A));
        row("archive-missing/selected", put(V, "[" + full("2.5") + "]"), put(A));
        row("archive-unreadable", put(A, "not 7z"));
        row("hashlist-missing", put(H));
        row("hashlist-not-object", put(H, "[]"));
        row("digest-uppercase", put(H, "{\"prog\": \"" + QByteArray(64, 'A') + "\"}"));
        row("digest-malformed", put(H, "{\"prog\": \"abc\"}"));
        row("file-no-key", put(H, "{}"));
        row("file-wrong-digest",
            put(H,
                "{\"prog\": \"" + sha256(readFile(appDir + "/prog")).toUpper().toUtf8() + "\"}"));
        row("executable-missing", edit("binary_name", "/quorvex"));
        row("executable-missing/directory", edit("binary_name", "/sub"));
#ifndef Q_OS_WIN // Windows names are Unicode
        row("file-name-not-utf8", [](const QString& dir) {
            SilentReporter silent;
            QTemporaryDir app;
            const QByteArray name = QFile::encodeName(app.path()) + "/n\xff";
            close(open(name, O_CREAT | O_WRONLY, 0600));
            QString error;
            QVERIFY(createArchive(app.path(), dir + '/' + A, silent, &error));
            unlink(name); // which Qt could not remove
        });
#endif
        row("signature-missing", put(VS));
        row("signature-malformed", put(HS, "c2lnbmF0dXJl\n"));
        row("signature-mismatch", put(VS, readFile(goodServer + '/' + HS)));
        row("manifest-keys", edit("manifest_size", "12"));
        row("manifest-missing", [](const QString& dir) { QFile::remove(manifestOf(dir)); });
        row("manifest-wrong-size", [](const QString& dir) {
            writeFile(manifestOf(dir), readFile(manifestOf(dir)) + ' ');
        });
        row("manifest-wrong-digest", [](const QString& dir) {
            writeFile(manifestOf(dir),
                      readFile(manifestOf(dir)).replace("\"format\":1", "\"format\":2"));
        });
        row("manifest-invalid", manifest([](QJsonObject) { return QJsonObject(); }));
        row("manifest-archive-mismatch", manifest([](QJsonObject m) {
                QJsonArray files = m["files"].toArray();
                files.removeFirst();
                m["files"] = files;
                return m;
            }));
        row("store-object-missing", object([](QByteArray) { return QByteArray(); }));
        row("store-object-wrong-size", object([](QByteArray b) { return b + 'x'; }));
        row("store-object-damaged", object([](QByteArray b) { return b.fill('x'); }));
        row("delta-missing", deltaOf(QByteArray(), 10));
        row("delta-wrong-size", deltaOf("0123456789x", 10));
        row("delta-bad", deltaOf("0123456789", 10));
#ifndef Q_OS_WIN // Windows links are no files that Qt makes
        // A fan-out folder moved elsewhere and linked back: the updater still gets its objects.
        row("server-link", [](const QString& dir) {
            const QString folder =
                QFileInfo(manifestOf(dir))
                    .dir()
                    .filePath("../store/" + QJsonDocument::fromJson(readFile(manifestOf(dir)))
                                                .object()["files"]
                                                .toArray()[0]
                                                .toObject()["sha256"]
                                                .toString()
                                                .left(2));
            QVERIFY(QDir().rename(folder, dir + "/elsewhere"));
            QVERIFY(QFile::link(dir + "/elsewhere", folder));
        });
#endif
    }

    void checkFindsProblems() {
        QFETCH(QList<Mutation>, mutations);
        QTemporaryDir dir;
        QVERIFY(writeTree(dir.path(), readTree(goodServer)));
        for (const Mutation& mutation : mutations) {
            mutation(dir.path());
        }
        const CheckResult result = checkServerDir(dir.path(), quiet, publicKey);
        const QString code = QString(QTest::currentDataTag()).section('/', 0, 0);
        QVERIFY2(result.has(code), qPrintable("found: " + result.codes().join(' ')));
    }

    // Other elements keep their exact text; a refused publish (position < 0) changes nothing,
    // also when the last file cannot be replaced (-2: the hash list is a directory).
    void publishIntoExistingList_data() {
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<QByteArrayList>("kept"); // element texts that survive verbatim, in order
        QTest::addColumn<int>("position");        // where the new entry goes
        auto row = [](const char* name, const QByteArray& existing, int position,
                      const QByteArrayList& kept = {}) {
            QTest::newRow(name) << existing << kept << position;
        };
        const QByteArray older = js("{'zeta': 1, 'full': true, 'version': '1.9', 'build': "
                                    "12345678901234567890, 'notes': {'ru': '\\u0412\\u0435', "
                                    "'list': [1, ']', {'a': null}]}, 'ratio': 1.50}");
        const QByteArray patch = js("{'full': false, 'version': '2.5', 'delta': 'x\\'y'}");
        const QByteArray same = full("2.5");
        row("empty file", "", 0);
        row("compact, unknown keys", "[" + older + "," + patch + ",7.50,\"te]xt\"]", 4,
            {older, patch, "7.50", "\"te]xt\""});
        row("same label replaced in place",
            "[\n  " + older + ",\n  " + same + ",\n  " + patch + "\n]", 1, {older, patch});
        row("same label twice", "[" + same + ", {\"x\": 1}, " + same + "]", 0, {"{\"x\": 1}"});
        row("refused: list is an object", js("{'full': true}"), -1);
        row("refused: list is broken JSON", js("[{'full': tru"), -1);
        row("refused: a newer version", "[" + full("3.0") + "]", -1);
        row("refused: same number, other label", "[" + same + "," + full("25") + "]", -1);
        row("byte order mark", "\xEF\xBB\xBF [" + older + "]", 1, {older});
        row("refused: hash list cannot be replaced", "[" + same + "]", -2);
        // The new list is larger than the small disk holds: nothing is replaced (-3). On Linux a
        // file may not grow past the limit, so the new list crosses it; the small drive of Wine
        // holds the list, then runs out while the new one is written beside it.
#ifdef Q_OS_WIN
        const int listSize = int(SmallDisk::Size / 2);
#else
        const int listSize = int(SmallDisk::Size - 64);
#endif
        row("refused: the disk is full",
            "[" + same + ",\"" + QByteArray(listSize - same.size(), 'x') + "\"]", -3);
    }

    void publishIntoExistingList() {
        QFETCH(QByteArray, existing);
        QFETCH(QByteArrayList, kept);
        QFETCH(int, position);
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath(V), existing));
        QVERIFY(writeFile(dir.filePath(position == -2 ? H + QString("/x") : H), js("{'k': 1}")));
        const Tree before = readTree(dir.path());
        std::optional<SmallDisk> disk;
        if (position == -3) {
            disk.emplace(dir.path());
            if (!disk->skipped().isEmpty()) {
                QSKIP(qPrintable(disk->skipped()));
            }
        }
        const QString serverDir = disk ? disk->dir() : dir.path();
        if (serverDir != dir.path()) {
            QVERIFY(writeTree(serverDir, before));
        }
        PublishOptions o = options(serverDir);
        o.appDir = disk ? newAppDir : appDir; // whose files 7-Zip can unpack on the small disk
        // The small disk stays until the end: on Windows its folder goes with it.
        const PublishResult result = publishVersion(o, quiet);
        if (position < 0) {
            // A full disk is named as the system names it.
            QVERIFY2(!result.ok && !result.error.isEmpty() &&
                         !result.error.contains("Unknown error") &&
                         (position != -2 || result.error.contains("still served")),
                     qPrintable(result.error));
            QCOMPARE(readTree(serverDir), before);
            return;
        }
        QVERIFY2(result.ok, qPrintable(result.error));
        // Nothing left beside the served files.
        QCOMPARE(readTree(dir.path()).keys().filter(QRegularExpression("^[^ms]")),
                 QStringList({H, A, V}));
        const QByteArray written = readFile(dir.filePath(V));
        const QJsonArray after = QJsonDocument::fromJson(written).array();
        QCOMPARE(after.size(), kept.size() + 1);
        QCOMPARE(after.at(position).toObject(), result.entry);
        for (int i = 0, from = 0; i < kept.size(); from += kept[i++].size()) {
            QVERIFY2((from = written.indexOf(kept[i], from)) >= 0, kept[i]);
        }
    }

    // What check would report is refused before anything is replaced, if the updater would
    // refuse the release or reinstall it at every start; about other entries it is only told.
    void publishRefusesWhatCheckReports_data() {
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<QString>("binary");
        QTest::addColumn<QString>("code"); // of the refusal; empty: published
        const QByteArray huge = "[\"" + QByteArray(documents::MaxVersionListSize, 'x') + "\"]";
        const QByteArray older = js("[{'full': true, 'version': '1.0', 'download_url': "
                                    "'http://h/s/gone.7z', 'extract_to': '/app', 'binary_name': "
                                    "'/prog', 'size': 5}]");
        QTest::newRow("executable path too long for Windows")
            << QByteArray() << QString(210, 'p') << "executable-path";
        QTest::newRow("list too large for the updater") << huge << "prog"
                                                        << "list-too-large";
        QTest::newRow("an older entry's archive missing") << older << "prog"
                                                          << "";
        // The program's object is there already, but not as its bytes: it is packed again.
        QTest::newRow("an object of other bytes") << QByteArray("OTHER OBJECT") << "prog"
                                                  << "";
        QTest::newRow("an object of its size, other content")
            << QByteArray("SAME SIZE OBJECT") << "prog"
            << "";
#ifndef Q_OS_WIN // Windows links are no files that Qt makes
        // The object of "#!/bin/sh\n" (the program), or its fan-out folder, links to a file or
        // folder elsewhere, which must stay as it is.
        QTest::newRow("a link in the store") << QByteArray("LINKED OBJECT") << "prog"
                                             << "server-link";
        QTest::newRow("a linked fan-out folder") << QByteArray("LINKED FOLDER") << "prog"
                                                 << "server-link";
#endif
    }

    void publishRefusesWhatCheckReports() {
        QFETCH(QByteArray, existing);
        QFETCH(QString, binary);
        QFETCH(QString, code);
        QTemporaryDir app, dir;
        QVERIFY(writeTree(app.path(), {{binary, "#!/bin/sh\n"}}));
        QVERIFY(QFile::setPermissions(app.filePath(binary), QFile::ReadOwner | QFile::ExeOwner));
        const QString folder = dir.filePath("store/" + sha256("#!/bin/sh\n").left(2));
        const QString object = folder + '/' + sha256("#!/bin/sh\n");
        if (existing.endsWith("OBJECT") && !existing.startsWith("LINKED")) {
            const QByteArray other = storedobject::packBytes("#!/bin/sx\n");
            QCOMPARE(other.size(), storedobject::packBytes("#!/bin/sh\n").size());
            QVERIFY(writeFile(object, existing == "OTHER OBJECT" ? "other\n" : other));
            existing.clear();
        }
        if (existing.startsWith("LINKED")) {
            QVERIFY(writeFile(dir.filePath("elsewhere/file"), "outside\n"));
            QVERIFY(existing == "LINKED FOLDER"
                        ? QDir().mkpath(dir.filePath("store")) &&
                              QFile::link(dir.filePath("elsewhere"), folder)
                        : QDir().mkpath(folder) &&
                              QFile::link(dir.filePath("elsewhere/file"),
                                          folder + '/' + sha256("#!/bin/sh\n")));
            existing.clear();
        }
        QVERIFY(existing.isEmpty() || writeFile(dir.filePath(V), existing));
        const Tree before = readTree(dir.path());
        const PublishResult result = publishVersion(
            {app.path(), "2.5", baseUrl, "/app", "/" + binary, dir.path(), {}}, quiet);
        QVERIFY2(code.isEmpty() ? result.ok : result.error.contains("[" + code + "]"),
                 qPrintable(result.error));
        QVERIFY(result.ok || readTree(dir.path()) == before);
        QVERIFY(!result.ok || storedobject::verify(object, 10, sha256("#!/bin/sh\n")).isEmpty());
    }

    // The hash list stays when only files in folders changed, and installed copies keep their
    // release: publish warns then, and says so when nothing changed.
    void unchangedHashListIsWarned_data() {
        QTest::addColumn<QByteArray>("nested"); // sub/nested.txt of the next release
        QTest::addColumn<bool>("manifest");
        QTest::addColumn<QString>("said"); // the one of the texts (below) that publish prints
        QTest::newRow("a file in a folder changed")
            << QByteArray("changed\n") << true << "only files in folders changed";
        QTest::newRow("nothing changed") << QByteArray("nested\n") << true << "the same files";
        QTest::newRow("no manifest to tell")
            << QByteArray("changed\n") << false << "if files in folders changed";
    }

    void unchangedHashListIsWarned() {
        QFETCH(QByteArray, nested);
        QFETCH(bool, manifest);
        QFETCH(QString, said);
        struct : Reporter {
            QString text;
            void info(const QString& line) override { text += line + '\n'; }
            void progress(const QString&, int) override {}
        } recorder;
        QTemporaryDir dir, app;
        QVERIFY(writeTree(app.path(), readTree(appDir)));
        QVERIFY(QFile::setPermissions(app.filePath("prog"), QFile::ReadOwner | QFile::ExeOwner));
        PublishOptions next = options(dir.path());
        next.appDir = app.path();
        next.manifest = manifest;
        QVERIFY(!publishVersion(next, quiet).sameHashList);
        QVERIFY(writeFile(app.filePath("sub/nested.txt"), nested));
        next.version = "2.6";
        const PublishResult result = publishVersion(next, recorder);
        QVERIFY2(result.ok && result.sameHashList, qPrintable(result.error));
        int printed = 0;
        for (const char* text :
             {"only files in folders changed", "the same files", "if files in folders changed"}) {
            printed += recorder.text.contains(text) ? 1 : 0;
        }
        QVERIFY2(recorder.text.contains(said) && printed == 1, qPrintable(recorder.text));
    }

    // A file rebuilt with a few bytes changed gets a delta from its earlier content, which check
    // applies and prune keeps; unrelated bytes (no delta clearly smaller than the object) and
    // --delta-from 0 get none. The manifest gets its object and a delta from the earlier manifest
    // (not with --delta-from 0), named by the entry. Damaged deltas and manifest object are
    // reported by check, and a republish makes them again.
    void changedFilesGetDeltas_data() {
        QTest::addColumn<bool>("rebuilt"); // else replaced by unrelated bytes
        QTest::addColumn<int>("deltaFrom");
        QTest::addColumn<bool>("damaged");
        QTest::newRow("rebuilt") << true << 3 << false;
        QTest::newRow("rebuilt, damaged delta republished") << true << 3 << true;
        QTest::newRow("unrelated bytes") << false << 3 << false;
        QTest::newRow("--delta-from 0") << true << 0 << false;
    }

    void changedFilesGetDeltas() {
        QFETCH(bool, rebuilt);
        QFETCH(int, deltaFrom);
        QFETCH(bool, damaged);
        auto random = [](quint32 seed) {
            QByteArray bytes(200000, Qt::Uninitialized);
            QRandomGenerator(seed).fillRange(reinterpret_cast<quint32*>(bytes.data()),
                                             bytes.size() / 4);
            return bytes;
        };
        const QByteArray before = random(1);
        QByteArray after = rebuilt ? before : random(2);
        after.replace(1000, 4, "v2.6").replace(150000, 2, "\x01\x02");
        QTemporaryDir app, dir;
        QVERIFY(writeTree(app.path(), {{"prog", "#!/bin/sh\n"}, {"lib.so", before}}));
        QVERIFY(QFile::setPermissions(app.filePath("prog"), QFile::ReadOwner | QFile::ExeOwner));
        PublishOptions o{app.path(), "2.5", baseUrl, "/app", "/prog", dir.path(), {}};
        o.deltaFrom = deltaFrom;
        QVERIFY(publishVersion(o, quiet).ok);
        QVERIFY(writeFile(app.filePath("lib.so"), after));
        o.version = "2.6";
        PublishResult result = publishVersion(o, quiet);
        const QString path =
            dir.filePath("store/" + documents::deltaName(sha256(after), sha256(before)));
        const QString manifestSha256 = result.store.manifestSha256;
        const QString manifestObject = dir.filePath(publish::objectName(manifestSha256));
        const QJsonObject manifestDelta = result.entry["manifest_deltas"].toArray()[0].toObject();
        const QString manifestDeltaPath =
            dir.filePath(deltaObjectName(manifestSha256, manifestDelta["from"].toString()));
        if (damaged) {
            for (const QString& file : {path, manifestObject, manifestDeltaPath}) {
                QVERIFY(writeFile(file, readFile(file).fill('x')));
            }
            QCOMPARE(checkServerDir(dir.path(), quiet).codes(),
                     QStringList({"manifest-object-bad", "delta-bad", "delta-bad"}));
            result = publishVersion(o, quiet);
        }
        QVERIFY2(result.ok, qPrintable(result.error));
        QCOMPARE(result.entry["manifest_store"].toString(), baseUrl + "/store/");
        QCOMPARE(result.entry["manifest_packed"].toInt(), QFileInfo(manifestObject).size());
        QCOMPARE(storedobject::verify(manifestObject, result.store.manifest.size(), manifestSha256),
                 QString());
        QCOMPARE(result.entry["manifest_deltas"].toArray().size(), deltaFrom > 0 ? 1 : 0);
        if (deltaFrom > 0) {
            const QString from =
                dir.filePath("manifests/" + manifestDelta["from"].toString() + ".json");
            QCOMPARE(QFileInfo(manifestDeltaPath).size(), manifestDelta["packed"].toInt());
            QCOMPARE(delta::verify(manifestDeltaPath, from, manifestDelta["from_size"].toInt(),
                                   result.store.manifest.size(), manifestSha256),
                     QString());
        }
        const auto manifest = documents::parseManifest(result.store.manifest);
        QVERIFY(manifest && manifest->files.size() == 2);
        const documents::ManifestFile file = manifest->files[0]; // "lib.so"
        QCOMPARE(file.deltas.size(), rebuilt && deltaFrom > 0 ? 1 : 0);
        QCOMPARE(checkServerDir(dir.path(), quiet).codes(), QStringList());
        if (file.deltas.isEmpty()) {
            QVERIFY(!QFileInfo::exists(path));
            return;
        }
        QCOMPARE(file.deltas[0].from, sha256(before));
        QCOMPARE(QFileInfo(path).size(), file.deltas[0].packed);
        const QString base = dir.filePath("base");
        QVERIFY(writeFile(base, before));
        QCOMPARE(delta::verify(path, base, before.size(), after.size(), sha256(after)), QString());
        // What no manifest names goes; the named delta stays.
        const QString unnamed =
            dir.filePath("store/" + documents::deltaName(QString(64, 'a'), QString(64, 'b')));
        QVERIFY(QFile::remove(base) && writeFile(unnamed, "old"));
        QVERIFY(pruneStore(dir.path(), {}, quiet).ok);
        QVERIFY(!QFileInfo::exists(unnamed) && QFileInfo::exists(path));
        // Once 2.5 is no longer listed, its manifest's object goes; 2.6's stays, with its delta.
        const QString earlierObject =
            dir.filePath(publish::objectName(manifestDelta["from"].toString()));
        QVERIFY(QFileInfo::exists(earlierObject));
        QVERIFY(writeFile(dir.filePath(V), QJsonDocument(QJsonArray{result.entry}).toJson()));
        QVERIFY(pruneStore(dir.path(), {}, quiet).ok);
        QVERIFY(!QFileInfo::exists(earlierObject));
        QVERIFY(QFileInfo::exists(manifestObject) && QFileInfo::exists(manifestDeltaPath));
        const CheckResult check = checkServerDir(dir.path(), quiet);
        QCOMPARE(check.codes(), QStringList());
        QVERIFY(check.notes.join('\n').contains("of the manifest was not checked")); // base gone
    }

    // Two publishes into one directory at once: the second waits for the first, both are served.
    void concurrentPublishesWait() {
        QTemporaryDir dir;
        QProcess first, second;
        QString firstText, secondText;
        start(first, publishNew(dir.path(), "2.6"), 0);
        QVERIFY2(waitFor(first, &firstText, "paused"), qPrintable(firstText));
        start(second, publishNew(dir.path(), "2.7"));
        QVERIFY2(waitFor(second, &secondText, "Waiting for another"), qPrintable(secondText));
        first.write("\n");
        QVERIFY(QTest::qWaitFor(
            [&] { return first.state() + second.state() == QProcess::NotRunning; }, 60000));
        secondText += QString::fromLocal8Bit(second.readAll());
        QVERIFY2(first.exitCode() + second.exitCode() == 0, qPrintable(secondText));
        const QJsonArray list = QJsonDocument::fromJson(readFile(dir.filePath(V))).array();
        QCOMPARE(list.size(), 2);
        QCOMPARE(list[0]["version"].toString() + list[1]["version"].toString(), "2.62.7");
    }

    // A publish killed before its move N (0 archive, 1 version list, 2 hash list, 3 cleaning up)
    // is completed by the next check or publish; undone when its staged hash list is lost, or
    // when it was being undone. A repair tried without the server lock touches nothing.
    void interruptedPublishIsRepaired_data() {
        QTest::addColumn<int>("killedAt");
        QTest::addColumn<QString>("then");    // what happens after the kill, before the repair
        QTest::addColumn<bool>("publishing"); // the repair is the next publish, not a check
        QTest::newRow("before the archive, check") << 0 << "" << false;
        QTest::newRow("new list beside the old hash list, check") << 2 << "" << false;
        QTest::newRow("new list beside the old hash list, publish") << 2 << "" << true;
        QTest::newRow("before cleaning up, publish") << 3 << "" << true;
        QTest::newRow("staged hash list lost, check undoes it") << 2 << "lost" << false;
        QTest::newRow("killed while undoing, check undoes it") << 2 << "undo" << false;
        QTest::newRow("a repair without the lock touches nothing") << 2 << "unlocked" << false;
    }

    void interruptedPublishIsRepaired() {
        QFETCH(int, killedAt);
        QFETCH(QString, then);
        QFETCH(bool, publishing);
        QTemporaryDir dir;
        QVERIFY(publishVersion(options(dir.path()), quiet).ok);
        const Tree before = readTree(dir.path());
        QProcess killed, next;
        QString text;
        start(killed, publishNew(dir.path(), "2.6"), killedAt);
        QVERIFY2(waitFor(killed, &text, "paused"), qPrintable(text));
        killed.kill();
        QVERIFY(killed.waitForFinished());
        const QString journal = dir.filePath(".qv_publish.journal");
        const bool lost = then == "lost" || then == "undo";
        if (then == "lost") {
            QVERIFY(QFile::remove(dir.filePath(".hashlist.json.partial")));
        } else if (then == "undo") { // every staged file is there as written
            QJsonObject text = QJsonDocument::fromJson(readFile(journal)).object();
            text["undo"] = true;
            QVERIFY(writeFile(journal, QJsonDocument(text).toJson()));
        } else if (then == "unlocked") {
            const Tree killed = readTree(dir.path());
            const ServerLock notTaken(dir.path());
            QVERIFY(!recoverInterrupted(dir.path(), notTaken).ok);
            QCOMPARE(readTree(dir.path()), killed);
        }
        start(next, publishing ? publishNew(dir.path(), "2.7")
                               : QStringList{"check", "--server-dir", dir.path()});
        QVERIFY(next.waitForFinished(60000));
        text = QString::fromLocal8Bit(next.readAll());
        QVERIFY2(text.contains(publishing ? "Repaired: a publish of version \"2.6\""
                                          : "PROBLEM [publish-interrupted]"),
                 qPrintable(text));
        QCOMPARE(next.exitCode(), publishing ? 0 : 1);
        const Tree after = readTree(dir.path());
        if (lost) {
            // What the undone publish stored is named by no entry: prune takes it away.
            QVERIFY(pruneStore(dir.path(), {}, quiet).ok);
            QVERIFY(!QFileInfo::exists(journal));
            QCOMPARE(readTree(dir.path()), before);
            return;
        }
        // Nothing left beside the served files, which check accepts.
        QCOMPARE(after.keys().filter(QRegularExpression("^\\.")), QStringList());
        QCOMPARE(checkServerDir(dir.path(), quiet).codes(), QStringList());
        QCOMPARE(QJsonDocument::fromJson(after.value(V)).array().size(), publishing ? 3 : 2);
    }

    // A splice that would not read back as the earlier elements plus the entry is refused.
    void unfaithfulSpliceIsRefused() {
        versionlist::Parsed parsed = versionlist::split("[1, 2]");
        parsed.elements[1].begin = 1; // "1, 2" taken for the second element
        QVERIFY(!versionlist::withEntry("[1, 2]", parsed, QJsonObject()).intact);
    }

    // APP and GOOD stand for the application and the published server directory.
    void badOptionsAreRefused_data() {
        QTest::addColumn<Field>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("problem"); // part of the refusal; empty: accepted
        using O = PublishOptions;
        auto row = [](const char* name, Field field, const char* value, const char* problem) {
            QTest::newRow(name) << field << value << problem;
        };
        row("good options", &O::version, "2.5", "");
        row("no app dir", &O::appDir, "/none", "\"/none\" is not a directory");
#ifndef Q_OS_WIN // Windows names are Unicode
        row("app dir with a name not UTF-8", &O::appDir, "BAD", "holds \"n\\xff\", a name");
#endif
        row("label with a slash", &O::version, "1/2", "only letters");
        row("label without digits", &O::version, "beta", "no digits");
        row("label overflowing", &O::version, "1.2147483648", "32-bit");
        row("ftp base URL", &O::baseUrl, "ftp://h/x", "--base-url");
        row("base URL without host", &O::baseUrl, "http:///x", "--base-url");
        row("base URL with query", &O::baseUrl, "http://h/x?y=1", "--base-url");
        row("base URL with fragment", &O::baseUrl, "http://h/x#y", "--base-url");
        row("extract_to without slash", &O::extractTo, "app", "must start");
        row("extract_to on the updater's files", &O::extractTo, "/7Z/x", "refused");
        row("binary_name without slash", &O::binaryName, "prog", "must start");
        row("binary_name not in the app", &O::binaryName, "/quorvex", "not in --app-dir");
#ifdef Q_OS_WIN // there is no execute permission to lack
        row("binary_name not executable", &O::binaryName, "/data.bin", "");
#else
        row("binary_name not executable", &O::binaryName, "/data.bin", "execute");
#endif
        row("empty server dir", &O::serverDir, "", "must not be empty");
        row("server dir is a file", &O::serverDir, "GOOD/versions.json", "not a directory");
        row("server dir inside the app", &O::serverDir, "APP/sub", "inside --app-dir");
#ifndef Q_OS_WIN // Windows links are no files that Qt makes
        row("server dir inside the app through a link", &O::serverDir, "LINK/new/dir",
            "inside --app-dir");
#endif
        row("signing key not a key file", &O::signingKey, "APP/prog", "not a signing key");
    }

    void badOptionsAreRefused() {
        QFETCH(Field, field);
        QFETCH(QString, value);
        QFETCH(QString, problem);
        PublishOptions o = options(root.filePath("unused"));
        QFile::link(appDir, root.filePath("link"));
#ifndef Q_OS_WIN
        QDir().mkpath(root.filePath("bad"));
        close(open(QFile::encodeName(root.filePath("bad")) + "/n\xff", O_CREAT | O_WRONLY, 0600));
#endif
        o.*field = value.replace("APP", appDir)
                       .replace("GOOD", goodServer)
                       .replace("LINK", root.filePath("link"))
                       .replace("BAD", root.filePath("bad"));
        const QString found = optionsProblem(o);
        QVERIFY2(problem.isEmpty() ? found.isEmpty() : found.contains(problem), qPrintable(found));
    }

    void commandLine_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        auto row = [](const char* name, const QStringList& arguments, int code, const char* out) {
            QTest::newRow(name) << arguments << code << out;
        };
        row("no command", {}, 2, "no command");
        row("help", {"--help"}, 0, "hashlist.json");
        row("help of a command", {"publish", "--help"}, 0, "--base-url");
        row("unknown command", {"deploy"}, 2, "unknown command");
        row("unknown option", {"check", "--sever-dir", "."}, 2, "unknown option --sever-dir");
        row("option without value", {"check", "--server-dir"}, 2, "needs a value");
        row("publish without version", {"publish", "--app-dir", "APP"}, 2, "--version is required");
        row("check, good", {"check", "--server-dir", "GOOD"}, 0, "would install entry 0");
        row("check, no server", {"check", "--server-dir", "APP"}, 1, "PROBLEM [list-missing]");
        row("check, no directory", {"check", "--server-dir", "/none"}, 2, "not a directory");
        row("check, bad public key", {"check", "--public-key", "a2V5"}, 2, "--public-key");
        // Copied out of the build folder, away from its 7Z folder: it says where it looked.
        row("check, 7-Zip not beside it", {"ALONE", "check", "--server-dir", "GOOD"}, 1,
            "7z.exe, where qv_publish looks for it");
        row("keygen never overwrites", {"keygen", "--out", "KEY"}, 1, "never overwritten");
        const QStringList publish{"publish", "--app-dir",     "APP",      "--version",
                                  "2.6",     "--base-url",    "http://h", "--extract-to",
                                  "/app",    "--binary-name", "/prog",    "--server-dir"};
        row("unsigned onto signatures", publish + QStringList{"GOOD"}, 1, "--signing-key");
        row("too many releases to make deltas from",
            publish + QStringList{"GOOD", "--delta-from", "9"}, 2, "from 0 to 8");
        row("publish signed", publish + QStringList{"GOOD/../signed", "--signing-key", "KEY"}, 0,
            "both signed");
        // The archives moved to another host: the manifest and objects are still named.
        row("prune, archives moved", {"prune", "--server-dir", "MOVED"}, 0, "Removed 0 file(s)");
#ifndef Q_OS_WIN // Windows links are no files that Qt makes
        // The store is another directory's (beta lists nothing yet): nothing goes without asking.
        row("prune, shared store", {"prune", "--server-dir", "SHARED"}, 1, "may be shared");
#endif
        row("prune dry run, read-only", {"prune", "--server-dir", "READONLY", "--dry-run"}, 0,
            "Would remove 0 file(s)");
        // Which objects the entry needs is unknown: all stay.
        row("prune, a manifest damaged", {"prune", "--server-dir", "DAMAGED"}, 1, ".json, but ");
    }

    void commandLine() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        const QString program =
            testenv::executable(QCoreApplication::applicationDirPath() + "/../qv_publish");
        QVERIFY2(QFileInfo(program).isExecutable(), "qv_publish is not built");
        arguments.replaceInStrings("GOOD", goodServer).replaceInStrings("APP", appDir);
        arguments.replaceInStrings("KEY", key);
        const QString moved = root.filePath("moved"), shared = root.filePath("shared");
        const QString readOnly = root.filePath("readonly"), damaged = root.filePath("damaged");
        if (!QFileInfo::exists(moved)) {
            QVERIFY(writeTree(moved, readTree(goodServer)));
            edit("download_url", "https://cdn.example/quorvex-2.5.7z")(moved);
            QVERIFY(writeTree(shared, {{V, "[]"}}) &&
                    QFile::link(goodServer + "/store", shared + "/store"));
            QVERIFY(writeTree(readOnly, readTree(goodServer)));
            QVERIFY(QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ExeOwner));
            QVERIFY(writeTree(damaged, readTree(goodServer)) &&
                    writeFile(manifestOf(damaged), "[\"damaged\"]"));
        }
        arguments.replaceInStrings("MOVED", moved).replaceInStrings("SHARED", shared);
        arguments.replaceInStrings("READONLY", readOnly).replaceInStrings("DAMAGED", damaged);
        QTemporaryDir alone;
        QString run = program;
        if (arguments.value(0) == "ALONE") {
            arguments.removeFirst();
            run = alone.filePath(QFileInfo(program).fileName());
            QVERIFY(QFile::copy(program, run));
        }
        // What a failed or refused command names stays as it was.
        // (An option given without its value names nothing: an empty path would read the whole
        // working directory.)
        int named = arguments.indexOf("--server-dir") + 1;
        named = named < arguments.size() ? named : 0;
        const Tree before = named > 0 ? readTree(arguments.value(named)) : Tree();
        QProcess tool;
        tool.setProcessChannelMode(QProcess::MergedChannels);
        tool.start(run, arguments);
        QVERIFY(tool.waitForFinished(60000));
        const QString text = QString::fromLocal8Bit(tool.readAll());
        QVERIFY2(text.contains(output), qPrintable(text));
        QCOMPARE(tool.exitCode(), exitCode);
        QVERIFY(exitCode == 0 || named <= 0 || readTree(arguments.value(named)) == before);
    }
};

QUORVEX_TEST_MAIN(TestPublish)
#include "tst_publish.moc"
