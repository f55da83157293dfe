// The per-file update on its own: an installation, a manifest and a content store in; the files
// on disk, the record and the job's end out. What the window does with each end is tst_window's.

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <QTimer>

#include "deltamaker.h"
#include "downloader.h"
#include "fakehttpserver.h"
#include "paths.h"
#include "perfileupdate.h"
#include "testenv.h"
#include "tree.h"

Q_DECLARE_METATYPE(testenv::Tree)

using End = PerFileUpdate::End;

class PerFileTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void update_data();
    void update();

private:
    FakeHttpServer server;
    QString dataDir = paths::dataDir();
    const QString exe = testenv::executable("quorvex");
    // The release: its manifest and content store are served.
    const testenv::Tree release{{exe, "the program, version 3"},
                                {"payload.dat", QByteArray(5000, 'p')},
                                {"plugins/readme.txt", "read me"},
                                {"plugins/sub/x.dll", "a library"},
                                {"quorvex.ini", "[release]\n"}};
};

void PerFileTest::init() {
    Downloader::setDefaultTransferTimeout(1000);
    Downloader::setDocumentTimeLimit(2000);
    QDir(dataDir).removeRecursively();
    QVERIFY(QDir().mkpath(dataDir));
    server.reset();
}

void PerFileTest::cleanup() {
    tree::setBeforeMove({});
}

void PerFileTest::update_data() {
    // Of the server: "no manifest", "other manifest" (not the one the entry names), "damaged"
    // (the program's object holds other bytes), "no program" (the manifest leaves it out),
    // "held" (the objects never come: Cancel); of the machine: "stale staging" and "staged" (a
    // staged program of the right size from an interrupted run, with other bytes or its own),
    // "swap" (a file appears where the swap puts one).
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("repair");
    QTest::addColumn<testenv::Tree>("installed");
    QTest::addColumn<int>("end");
    QTest::addColumn<testenv::Tree>("expected"); // the installation afterwards
    QTest::addColumn<int>("fetched");            // requests to the store

    // An installation of an older release: another program, a file missing, one no longer
    // shipped, and the user's own settings.
    testenv::Tree older = release;
    older[exe] = "the program, version 2";
    older.remove("plugins/readme.txt");
    older["stale.dll"] = "from an older version";
    older["quorvex.ini"] = "[user]\nmine\n";
    older["plugins/Local.INI"] = "mine too";
    testenv::Tree updated = release;
    updated["quorvex.ini"] = older["quorvex.ini"];
    updated["plugins/Local.INI"] = older["plugins/Local.INI"];
    // The release as installed, one file in a folder damaged and a file of the user's own.
    testenv::Tree damaged = release;
    damaged["plugins/readme.txt"] = "damaged";
    damaged["notes.txt"] = "the user's";
    testenv::Tree mended = release;
    mended["notes.txt"] = "the user's";
    // A file where the release has a folder, at the top and as the immediate parent. A repair
    // removes nothing that the manifest does not list: it must move such a file aside itself.
    testenv::Tree fileForTop = release;
    fileForTop.remove("plugins/readme.txt");
    fileForTop.remove("plugins/sub/x.dll");
    fileForTop["plugins"] = "a file";
    testenv::Tree fileForParent = release;
    fileForParent.remove("plugins/sub/x.dll");
    fileForParent["plugins/sub"] = "a file";
    testenv::Tree inTheWay = older;
    inTheWay["plugins/readme.txt"] = "in the way";

    auto row = [](const char* name, const QString& fault, bool repair, const testenv::Tree& in,
                  End end, const testenv::Tree& out, int fetched) {
        QTest::newRow(name) << fault << repair << in << int(end) << out << fetched;
    };
    row("update: only what changed travels", "", false, older, End::Installed, updated, 2);
    row("repair of a file where a folder goes", "", true, fileForTop, End::Installed, release, 2);
    row("repair of a file where the parent folder goes", "", true, fileForParent, End::Installed,
        release, 1);
    row("a staged file with its own bytes is not fetched again", "staged", false, older,
        End::Installed, updated, 1);
    row("a staged file of the right size, other bytes", "stale staging", false, older,
        End::Installed, updated, 2);
    row("repair of a file in a folder, the user's file kept", "", true, damaged, End::Installed,
        mended, 1);
    row("repair with nothing to mend", "", true, release, End::Intact, release, 0);
    row("repair without its manifest", "no manifest", true, damaged, End::NoManifest, damaged, 0);
    row("a manifest other than the entry names", "other manifest", false, older, End::FallBack,
        older, 0);
    row("a manifest without the program", "no program", false, older, End::FallBack, older, 0);
    row("a stored file that does not match", "damaged", false, older, End::FallBack, older, -1);
    row("a swap that cannot finish is undone", "swap", false, older, End::FallBack, inTheWay, 2);
    row("cancelled while the files travel", "held", false, older, End::Stopped, older, -1);
    // An installed file is the base of the new program's delta; the manifest itself may come
    // from the store as a delta from the installed release's, kept since its installation.
    testenv::Tree withBase = older; // of another size at another path: hashed for that
    withBase["backup/quorvex.old"] = "the program, version 2 ";
    row("update: a delta onto a file the update removes", "delta", false, withBase, End::Installed,
        updated, 2);
    row("a damaged delta: the whole file", "delta damaged", false, withBase, End::Installed,
        updated, 3);
    row("the manifest as a delta from the installed one", "stored manifest", false, older,
        End::Installed, updated, 3);
    row("the manifest's stored copies missing: its document", "stored manifest missing", false,
        older, End::Installed, updated, 4);
}

void PerFileTest::update() {
    QFETCH(QString, fault);
    QFETCH(bool, repair);
    QFETCH(testenv::Tree, installed);
    QFETCH(int, end);
    QFETCH(testenv::Tree, expected);
    QFETCH(int, fetched);

    // The server: the release's manifest and its content store.
    QJsonArray listed;
    for (auto it = release.begin(); it != release.end(); ++it) {
        const QString sha = testenv::sha256(it.value());
        const QByteArray bytes =
            fault == "damaged" && it.key() == exe ? QByteArray(it.value().size(), 'x') : it.value();
        FakeResponse object = FakeResponse::ok(qCompress(bytes).mid(4)); // the zlib stream
        if (fault == "held") {
            object.stall = FakeResponse::Stall::Held;
        }
        server.setRoute(("/store/" + sha.left(2) + "/" + sha).toLatin1(), object);
        QJsonObject file{{"path", it.key()},
                         {"size", it.value().size()},
                         {"sha256", sha},
                         {"packed", qCompress(it.value()).size() - 4}};
        if (fault.startsWith("delta") && it.key() == exe) {
            const QByteArray base = "the program, version 2 ";
            QByteArray delta = publish::makeDelta(base, it.value(), nullptr);
            file["deltas"] = QJsonArray{QJsonObject{{"from", testenv::sha256(base)},
                                                    {"from_size", base.size()},
                                                    {"packed", delta.size()}}};
            if (fault == "delta damaged") {
                delta[delta.size() - 1] = char(delta[delta.size() - 1] ^ 1);
            }
            server.setRoute("/store/deltas/" + sha.left(2).toLatin1() + "/" + sha.toLatin1() + "-" +
                                testenv::sha256(base).toLatin1(),
                            FakeResponse::ok(delta));
        }
        if (fault != "no program" || it.key() != exe) {
            listed.append(file);
        }
    }
    const QByteArray manifest =
        testenv::json({{"format", 1}, {"store", "../store/"}, {"files", listed}});
    server.setRoute("/m/3.0.json", fault == "no manifest" || fault == "stored manifest"
                                       ? FakeResponse::withStatus(404)
                                       : FakeResponse::ok(manifest));
    QJsonObject entry = testenv::entry("3.0", server.url("/files/q.7z").toString());
    entry["size"] = 100e6; // the archive costs far more than any of these files
    entry["manifest_url"] = server.url("/m/3.0.json").toString();
    entry["manifest_size"] = manifest.size();
    entry["manifest_sha256"] = testenv::sha256(fault == "other manifest" ? "other" : manifest);
    QJsonObject installedEntry = testenv::entry("2.0", "http://127.0.0.1:1/q.7z");
    if (fault.startsWith("stored manifest")) {
        // The installed release's manifest, as the last update kept it.
        const QByteArray before = "the manifest of 2.0";
        installedEntry["manifest_url"] = server.url("/m/2.0.json").toString();
        installedEntry["manifest_size"] = before.size();
        installedEntry["manifest_sha256"] = testenv::sha256(before);
        QVERIFY(testenv::writeFile(
            dataDir + "/update/manifests/" + testenv::sha256(before) + ".json", before));
        const QString sha = testenv::sha256(manifest), from = testenv::sha256(before);
        const QByteArray delta = publish::makeDelta(before, manifest, nullptr);
        const bool missing = fault.endsWith("missing");
        entry["manifest_store"] = server.url("/store/").toString();
        entry["manifest_packed"] = 100000;
        entry["manifest_deltas"] = QJsonArray{
            QJsonObject{{"from", from}, {"from_size", before.size()}, {"packed", delta.size()}}};
        // Only the delta serves: the manifest's object is not there either.
        server.setRoute(("/store/" + sha.left(2) + "/" + sha).toLatin1(),
                        FakeResponse::withStatus(404));
        server.setRoute(("/store/deltas/" + sha.left(2) + "/" + sha + "-" + from).toLatin1(),
                        missing ? FakeResponse::withStatus(404) : FakeResponse::ok(delta));
    }

    // The machine: the installation, its record, and what an interrupted run left.
    const QString app = dataDir + "/Quorvex";
    QVERIFY(testenv::writeTree(app, installed));
    const QByteArray record = testenv::json(entry);
    QVERIFY(testenv::writeFile(dataDir + "/latestVersion.json", record));
    if (fault == "staged" || fault == "stale staging") {
        const QByteArray program = release[exe];
        QVERIFY(testenv::writeFile(dataDir + "/update/files/" + testenv::sha256(program),
                                   fault == "staged" ? program : QByteArray(program.size(), 'x')));
    }
    // During the swap the record is set aside, not gone.
    bool swapped = false, setAside = true;
    tree::setBeforeMove([&](int) {
        swapped = true;
        setAside = setAside && !QFile::exists(dataDir + "/latestVersion.json") &&
                   testenv::readFile(dataDir + "/update/record/latestVersion.json") == record;
        if (fault == "swap") {
            testenv::writeFile(app + "/plugins/readme.txt", "in the way");
        }
    });

    PerFileUpdate::Setup setup;
    setup.entry = entry;
    setup.installedEntry = repair ? entry : installedEntry;
    setup.repair = repair;
    PerFileUpdate job(setup);
    std::optional<End> ended;
    QString detail;
    connect(&job, &PerFileUpdate::finished, this, [&](End how, const QString& why) {
        QVERIFY2(!ended, "finished twice");
        ended = how;
        detail = why;
    });
    job.start();
    if (fault == "held") {
        QTRY_VERIFY(server.requestCount() > 1);
        QVERIFY(job.cancel());
    }
    QTRY_VERIFY_WITH_TIMEOUT(ended.has_value(), 20000);
    QCOMPARE(int(*ended), end);
    if (fault == "held") {
        QCOMPARE(detail, QStringLiteral("Загрузка отменена"));
        server.releaseHeld();
    }
    testenv::Tree files = testenv::readTree(app); // the folders follow from the files
    for (const QString& path : files.keys()) {
        if (path.endsWith('/')) {
            files.remove(path);
        }
    }
    QCOMPARE(files, expected);
    int requests = 0;
    for (const QByteArray& path : server.requestedPaths()) {
        requests += path.startsWith("/store/");
    }
    if (fetched >= 0) {
        QCOMPARE(requests, fetched);
    }
    if (fault.startsWith("delta")) { // the program's whole object only once its delta failed
        const QString sha = testenv::sha256(release[exe]);
        QCOMPARE(server.requestCount(("/store/" + sha.left(2) + "/" + sha).toLatin1()),
                 fault == "delta" ? 0 : 1);
    }
    QVERIFY(setAside);
    QCOMPARE(swapped, End(end) == End::Installed || fault == "swap");
    if (End(end) == End::Installed) {
        // The window writes the new record once the program has started; until then the one set
        // aside is the floor. Of the transfers only the manifest stays, under its digest.
        QCOMPARE(detail, app + entry["binary_name"].toString());
        QCOMPARE(QDir(dataDir + "/update").entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 (QStringList{"manifests", "record"}));
    } else {
        QCOMPARE(testenv::readFile(dataDir + "/latestVersion.json"), record);
    }
}

QUORVEX_TEST_MAIN(PerFileTest)
#include "tst_perfile.moc"
