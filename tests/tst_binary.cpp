// The real qv_updater: what the publishing tool publishes, served by nginx on the port compiled
// into the updater, installed, verified, updated and repaired; the start-up hand-offs; runs
// killed while downloading and while extracting, repaired by the next run; archives over https
// and transfers through the system's proxy.

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkProxyFactory>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QTest>
#include <csignal>
#include <cstddef>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

#include "buildconfig.h"
#include "console.h"
#include "fakehttpserver.h"
#include "publisher.h"
#include "testenv.h"
#include "testproxy.h"

#ifdef Q_OS_WIN
#include <windows.h>

#include <tlhelp32.h>
#include <wincrypt.h>
#endif

namespace {
// Processes started by pid.
QList<qint64> childProcesses(qint64 pid) {
    QList<qint64> pids;
#ifdef Q_OS_WIN
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W process = {};
    process.dwSize = sizeof(process);
    for (BOOL more = Process32FirstW(snapshot, &process); more;
         more = Process32NextW(snapshot, &process)) {
        if (process.th32ParentProcessID == DWORD(pid)) {
            pids << process.th32ProcessID;
        }
    }
    CloseHandle(snapshot);
#else
    const QByteArray path =
        "/proc/" + QByteArray::number(pid) + "/task/" + QByteArray::number(pid) + "/children";
    for (const QByteArray& field : testenv::readFile(path).simplified().split(' ')) {
        if (!field.isEmpty()) {
            pids << field.toLongLong();
        }
    }
#endif
    return pids;
}

#ifdef Q_OS_WIN
// Whether Windows itself trusts the certificate in pem for server authentication, as the
// updater's TLS asks it to, with the roots as a program started now sees them: a chain engine
// of its own, as the default one keeps the roots it read first and misses one added since.
bool windowsTrusts(const QByteArray& pem) {
    const QByteArray der = QSslCertificate(pem).toDer();
    PCCERT_CONTEXT certificate = CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.constData()), DWORD(der.size()));
    CERT_CHAIN_ENGINE_CONFIG config = {};
    config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveRoot); // Wine takes no larger
    HCERTCHAINENGINE engine = nullptr;
    CERT_CHAIN_PARA parameters = {};
    parameters.cbSize = sizeof(parameters);
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    const bool trusted = certificate && CertCreateCertificateChainEngine(&config, &engine) &&
                         CertGetCertificateChain(engine, certificate, nullptr, nullptr, &parameters,
                                                 0, nullptr, &chain) &&
                         chain->TrustStatus.dwErrorStatus == CERT_TRUST_NO_ERROR;
    if (chain) {
        CertFreeCertificateChain(chain);
    }
    if (engine) {
        CertFreeCertificateChainEngine(engine);
    }
    if (certificate) {
        CertFreeCertificateContext(certificate);
    }
    return trusted;
}

// Adds the certificate in pem to the root certificates of this (Wine) user, where Windows keeps
// the company roots that users' programs trust.
bool trustInWindows(const QByteArray& pem) {
    const QByteArray der = QSslCertificate(pem).toDer();
    HCERTSTORE roots = CertOpenSystemStoreW(0, L"ROOT");
    const bool added =
        roots && CertAddEncodedCertificateToStore(
                     roots, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.constData()),
                     DWORD(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    if (roots) {
        CertCloseStore(roots, 0);
    }
    return added;
}

// The user's Internet Settings: a fixed proxy ("host:port"), or none when empty. The value is
// the one the Internet Options dialog writes: version, counter, flags (direct, proxy), then the
// proxy, the exceptions and the configuration script, each as a length and its bytes.
bool setWindowsProxy(const QByteArray& proxy) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(
            HKEY_CURRENT_USER,
            L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections", 0,
            nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    QByteArray value;
    auto put = [&value](quint32 word) {
        value.append(reinterpret_cast<const char*>(&word), 4);
    };
    put(0x46);
    put(0);
    put(proxy.isEmpty() ? 1 : 3);
    put(quint32(proxy.size()));
    value += proxy;
    put(0);
    put(0);
    value += QByteArray(32, '\0');
    const bool set = RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY,
                                    reinterpret_cast<const BYTE*>(value.constData()),
                                    DWORD(value.size())) == ERROR_SUCCESS;
    RegCloseKey(key);
    return set;
}
#endif

// Gone, or a zombie nobody has reaped yet.
bool ended(qint64 pid) {
#ifdef Q_OS_WIN
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    DWORD status = 0;
    const bool running = process && GetExitCodeProcess(process, &status) && status == STILL_ACTIVE;
    if (process) {
        CloseHandle(process);
    }
    return !running;
#else
    const QByteArray stat = testenv::readFile("/proc/" + QByteArray::number(pid) + "/stat");
    return stat.isEmpty() || stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
#endif
}
} // namespace

class BinaryTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    // Without a server: a run that does not hand off goes on with its own workflow.
    void handOff_data();
    void handOff();
    void installedCopyCarriesOn_data();
    void installedCopyCarriesOn();
    void publishInstallVerifyUpdate();
    void killedWhileDownloading();
    void killedWhileExtracting();
    void perFileKilledAndRepaired();
    void signedReleases();
    void realServers_data();
    void realServers();

private:
    // Publishes the stand-in application with payload as version into the server's root; with
    // more files, also with a manifest (otherwise every update takes the archive, whatever the
    // stand-in's size on this platform).
    QJsonObject publish(const QString& version, const QByteArray& payload,
                        const QString& signingKey = {}, const QString& baseUrl = {},
                        const testenv::Tree& more = {});
    // A run that must install or verify, launch and quit; returns its diagnostics.
    QByteArray runToLaunch(const QString& program = {});
    // Runs qv_publish; returns its exit code and its output in *output.
    int tool(const QStringList& arguments, QString* output);
    QJsonObject record() const {
        return QJsonDocument::fromJson(testenv::readFile(dataDir + "/latestVersion.json")).object();
    }
    int launches() const { return testenv::starts(marker).size(); }

    QTemporaryDir work;
    QString home, dataDir, marker, www;
    testenv::Nginx nginx;
    // One proxy for every case: the system's settings name its port, which a process may read
    // only once.
    TestProxy relay;
};

void BinaryTest::initTestCase() {
    const QUrl server(QStringLiteral(QUORVEX_SERVER_URL));
    if (server.host() != QLatin1String("127.0.0.1")) {
        QSKIP("The updater is not built against a loopback server (QUORVEX_SERVER_URL)");
    }
    home = work.filePath("home");
#ifdef Q_OS_WIN
    home = testenv::linkedHome(home); // a profile named with spaces and Cyrillic letters
#endif
    dataDir = testenv::dataDirIn(home);
    marker = work.filePath("launches.txt");
    www = work.filePath("www");
    QVERIFY(QDir().mkpath(www));
}

QJsonObject BinaryTest::publish(const QString& version, const QByteArray& payload,
                                const QString& signingKey, const QString& baseUrl,
                                const testenv::Tree& more) {
    QTemporaryDir app;
    const QString program = testenv::executable("quorvex");
    testenv::Tree tree{{"payload.dat", payload}, {"quorvex.ini", "[user]\n"}};
    tree.insert(more);
    testenv::writeTree(app.path(), tree);
    QFile::copy(testenv::standinPath(), app.filePath(program));
    publish::PublishOptions options{
        app.path(), version,       baseUrl.isEmpty() ? nginx.url("").toString() : baseUrl,
        "/Quorvex", "/" + program, www,
        signingKey};
    options.manifest = !more.isEmpty();
    publish::SilentReporter quiet;
    const publish::PublishResult result = publish::publishVersion(options, quiet);
    if (!result.ok) {
        qWarning("publishing failed: %s", qPrintable(result.error));
    }
    return result.entry;
}

QByteArray BinaryTest::runToLaunch(const QString& program) {
    const int before = launches();
    testenv::UpdaterRun run(home, marker, program);
    if (!run.waitForQuit()) {
        qWarning("the updater did not quit by itself:\n%s", run.log.constData());
        return QByteArray();
    }
    if (!QTest::qWaitFor([&] { return launches() == before + 1; })) {
        qWarning("nothing launched:\n%s", run.log.constData());
        return QByteArray();
    }
#ifdef Q_OS_WIN
    // Windows keeps a running program's file locked: the next run can replace the application
    // only once the stand-in that it launched has ended.
    const QString launched = testenv::starts(marker).last().value(0);
    if (!QTest::qWaitFor([&] { return QFile(launched).open(QIODevice::ReadWrite); }, 20000)) {
        qWarning("the launched program still holds %s", qPrintable(launched));
    }
#endif
    return run.log;
}

void BinaryTest::publishInstallVerifyUpdate() {
    QDir(dataDir).removeRecursively();
    QVERIFY(nginx.start(www, testenv::compiledServerPort()));
    const QJsonObject first = publish("1.0", QByteArray(300000, 'a'));
    QVERIFY(!first.isEmpty());
#ifndef Q_OS_WIN
    // Whatever the user's umask, what the updater writes is theirs only.
    const mode_t mask = umask(0);
    QByteArray log = runToLaunch();
    umask(mask);
    QDirIterator below(dataDir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                       QDirIterator::Subdirectories);
    for (QString path = dataDir; !path.isEmpty(); path = below.hasNext() ? below.next() : "") {
        QVERIFY2((QFileInfo(path).permissions() & 0x00FF) == 0, qPrintable(path));
    }
#else
    QByteArray log = runToLaunch();
#endif
    QVERIFY(log.contains("Каталог успешно очищен."));
    QCOMPARE(record(), first);
    QCOMPARE(testenv::starts(marker).last(),
             QStringList{dataDir + "/Quorvex/" + testenv::executable("quorvex")});

    // Verified and launched without the version list.
    const int listRequests = nginx.accessLog().count("GET /versions.json");
    QVERIFY(!runToLaunch().contains("Каталог успешно очищен."));
    QCOMPARE(nginx.accessLog().count("GET /versions.json"), listRequests);

    // The lock ends with the updater, not with the application it launched: a start while the
    // application still runs launches it again at once.
    const QString ended = work.filePath("application-ended");
    qputenv("QUORVEX_STANDIN", "sleep:12000,touch:" + QFile::encodeName(ended));
    for (int i = 0; i < 2; ++i) {
        const int before = launches();
        testenv::UpdaterRun run(home, marker);
        QVERIFY2(run.waitForQuit(), run.log.constData());
        QTRY_COMPARE(launches(), before + 1);
        qunsetenv("QUORVEX_STANDIN");
    }
    QVERIFY(!QFileInfo::exists(ended));
    const QString program = testenv::starts(marker).last().value(0);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(ended) && QFile(program).open(QIODevice::ReadWrite),
                             30000);

    // A new release: the installed files no longer match its hash list.
    const QJsonObject second = publish("1.1", QByteArray(1000, 'b'));
    QVERIFY(runToLaunch().contains("Каталог успешно очищен."));
    QCOMPARE(record(), second);
    QCOMPARE(testenv::readFile(dataDir + "/Quorvex/payload.dat"), QByteArray(1000, 'b'));

    // A damaged file is repaired.
    QVERIFY(testenv::writeFile(dataDir + "/Quorvex/payload.dat", "tampered"));
    QVERIFY(runToLaunch().contains("Каталог успешно очищен."));
    QCOMPARE(testenv::readFile(dataDir + "/Quorvex/payload.dat"), QByteArray(1000, 'b'));
}

void BinaryTest::handOff_data() {
    QTest::addColumn<QStringList>("programs"); // under the data directory
    QTest::newRow("installed updater copy") << QStringList{"qv_updater.exe"};
    QTest::newRow("separate update program") << QStringList{"bin/qv_update.exe"};
    QTest::newRow("both") << QStringList{"bin/qv_update.exe", "qv_updater.exe"};
    QTest::newRow("a directory at the copy's path") << QStringList{"qv_updater.exe/"};
}

void BinaryTest::handOff() {
    QFETCH(QStringList, programs);
    QDir(dataDir).removeRecursively();
    for (const QString& program : programs) {
        QVERIFY(QDir().mkpath(QFileInfo(dataDir + "/" + program).absolutePath()));
        QVERIFY(program.endsWith('/') ||
                QFile::copy(testenv::standinPath(), dataDir + "/" + program));
    }
    const QByteArray stored = "{\n    \"version\": \"1\"\n}\n";
    QVERIFY(testenv::writeFile(dataDir + "/latestVersion.json", stored));
    const int before = launches();
    testenv::UpdaterRun run(home, marker);
    if (programs.first().endsWith('/')) {
        // A directory passes the existence test and fails to start; the updater stays.
        QVERIFY2(run.waitForLog("Ошибка при запуске процесса"), run.log.constData());
        run.kill();
        QCOMPARE(launches(), before);
    } else {
        QVERIFY2(run.waitForQuit(), run.log.constData());
        QTRY_COMPARE(launches(), before + programs.size());
    }
    // Nothing that ran before the record was read may replace it.
    QCOMPARE(testenv::readFile(dataDir + "/latestVersion.json"), stored);
}

void BinaryTest::installedCopyCarriesOn_data() {
    QTest::addColumn<QString>("dataHome"); // as the environment spells it
    QTest::newRow("plain") << home;
    QTest::newRow("ending in /") << home + "/";
    QTest::newRow("behind a link") << testenv::linkedHome(work.filePath("linked"));
}

void BinaryTest::installedCopyCarriesOn() {
    // The copy's data directory is the one it sits in: it goes on with its own work instead
    // of starting itself again, however the data home is spelled.
    QFETCH(QString, dataHome);
    const QString copy = testenv::dataDirIn(dataHome) + "/qv_updater.exe";
    QDir(QFileInfo(copy).absolutePath()).removeRecursively();
    QVERIFY(QDir().mkpath(QFileInfo(copy).absolutePath()));
    QVERIFY(QFile::copy(testenv::updaterPath(), copy));
    testenv::UpdaterRun run(dataHome, marker, copy);
    QVERIFY2(run.waitForLog("Приложение не найдено!"), run.log.constData());
    QVERIFY(!run.logged("Приложение найдено!"));
    // Its data directory is named after the executable up to the first dot.
    const QRegularExpression named("Приложение не найдено! \"[^\"]*/qv_updater/qv_updater.exe\"");
    QVERIFY2(named.match(QString::fromUtf8(run.log)).hasMatch(), run.log.constData());
}

void BinaryTest::killedWhileDownloading() {
    QDir(dataDir).removeRecursively();
    const QJsonObject entry = publish("2.0", QByteArray(200000, 'c'));
    QVERIFY(!runToLaunch().isEmpty());
    QVERIFY(testenv::writeFile(dataDir + "/Quorvex/payload.dat", "tampered"));
    const testenv::Tree installed = testenv::readTree(dataDir + "/Quorvex");
    const QByteArray stored = testenv::readFile(dataDir + "/latestVersion.json");
    // The archive trickles from the scripted server.
    FakeHttpServer slow;
    FakeResponse trickle = FakeResponse::ok(testenv::readFile(www + "/quorvex-2.0.7z"));
    trickle.trickleBytes = 1024;
    trickle.trickleIntervalMs = 50;
    slow.setRoute("/quorvex-2.0.7z", trickle);
    QJsonObject slowEntry = entry;
    slowEntry["download_url"] = slow.url("/quorvex-2.0.7z").toString();
    QVERIFY(testenv::writeFile(www + "/versions.json", testenv::listOf(slowEntry)));

    // The archive of the first installation would be used again: only a new download trickles.
    QVERIFY(QFile::remove(dataDir + "/update/quorvex-2.0.7z"));
    testenv::UpdaterRun run(home, marker);
    QTRY_VERIFY(QFileInfo(dataDir + "/update/quorvex-2.0.7z.part").size() >= 2048);
    run.kill();
    QCOMPARE(testenv::readTree(dataDir + "/Quorvex"), installed);
    QCOMPARE(testenv::readFile(dataDir + "/latestVersion.json"), stored);

    // Started twice at once (a double click): the second run waits for the first and does not
    // start the application again once the first has.
    FakeResponse held = FakeResponse::ok(trickle.body);
    held.stall = FakeResponse::Stall::Held;
    FakeHttpServer holding;
    holding.setRoute("/quorvex-2.0.7z", held);
    slowEntry["download_url"] = holding.url("/quorvex-2.0.7z").toString();
    QVERIFY(testenv::writeFile(www + "/versions.json", testenv::listOf(slowEntry)));
    const int before = launches();
    testenv::UpdaterRun first(home, marker);
    // Under Wine the killed run may hold the run lock a little longer: the first run waits.
    QTRY_COMPARE_WITH_TIMEOUT(holding.requestCount("/quorvex-2.0.7z"), 1, 20000);
    testenv::UpdaterRun second(home, marker);
    QVERIFY2(second.waitForLog("Обновление уже выполняется"), second.log.constData());
    holding.releaseHeld();
    QVERIFY2(first.waitForQuit() && second.waitForQuit(), first.log + second.log);
    QVERIFY(first.logged("Каталог успешно очищен."));
    QTRY_COMPARE(launches(), before + 1);
    QCOMPARE(testenv::readFile(dataDir + "/Quorvex/payload.dat"), QByteArray(200000, 'c'));
}

void BinaryTest::killedWhileExtracting() {
    // The extractor is still at work when the updater is killed: a copy of the updater whose
    // "7Z/7z.exe" is the stand-in, sleeping far longer than the test waits.
    const QByteArray payload(1000, 'd');
    publish("3.0", payload);
    QVERIFY(testenv::writeFile(dataDir + "/Quorvex/payload.dat", "tampered"));
    QTemporaryDir slow;
    const QString copy = slow.filePath(QFileInfo(testenv::updaterPath()).fileName());
    QVERIFY(QFile::copy(testenv::updaterPath(), copy));
    QVERIFY(QDir().mkpath(slow.filePath("7Z")));
    QVERIFY(QFile::copy(testenv::standinPath(), slow.filePath("7Z/7z.exe")));
    qputenv("QUORVEX_STANDIN", "sleep:60000");
    const int before = launches();
    testenv::UpdaterRun run(home, marker, copy);
    qunsetenv("QUORVEX_STANDIN");
    QVERIFY2(run.waitForLog("Каталог успешно очищен."), run.log.constData());
    QTRY_COMPARE(launches(), before + 1); // the extractor has recorded its start
    QList<qint64> extractors;
    QTRY_VERIFY((extractors = childProcesses(run.process.processId())).size() > 0);
    // The record went before the wipe: the next run installs instead of verifying a part.
    const testenv::Tree during = testenv::readTree(dataDir);
    QVERIFY(!during.contains("latestVersion.json"));
    // A second run meanwhile waits, touching nothing; the kill hands the data directory to it.
    testenv::UpdaterRun second(home, marker);
    QVERIFY2(second.waitForLog("Обновление уже выполняется"), second.log.constData());
    QCOMPARE(testenv::readTree(dataDir), during);
    run.kill();
    // The extractor ends with the updater rather than writing on into what the next run wipes.
    QTRY_VERIFY2_WITH_TIMEOUT(std::all_of(extractors.begin(), extractors.end(), ended),
                              run.log.constData(), 20000);
    QVERIFY2(second.waitForQuit(), second.log.constData());
    QVERIFY(second.logged("Каталог успешно очищен."));
    QTRY_COMPARE(launches(), before + 2);
    QCOMPARE(testenv::readFile(dataDir + "/Quorvex/payload.dat"), payload);
}

void BinaryTest::perFileKilledAndRepaired() {
    // A large file that stays, a small one that changes with each release, a library in a
    // folder. The first installation takes the archive, without the manifest: every file is
    // missing.
    const auto noise = [](int size, quint32 seed) {
        QVector<quint32> words(size / 4);
        QRandomGenerator(seed).fillRange(words.data(), words.size());
        return QByteArray(reinterpret_cast<const char*>(words.constData()), size);
    };
    const QByteArray large = noise(2 * 1024 * 1024, 0);
    QDir(dataDir).removeRecursively();
    publish("5.0", large, {}, {}, {{"version.txt", "5.0"}, {"plugins/lib.dat", noise(300000, 1)}});
    QVERIFY(runToLaunch().contains("Каталог успешно очищен."));
    QVERIFY(!nginx.accessLog().contains("GET /manifests/")); // not needed for the archive

    // The next release: only the two changed files travel. The run is killed between moving the
    // old files aside and placing the new ones; the next run completes from what it staged.
    const QJsonObject second = publish(
        "5.1", large, {}, {}, {{"version.txt", "5.1"}, {"plugins/lib.dat", noise(300000, 2)}});
    QVERIFY(second.contains("manifest_url"));
    const int logged = nginx.accessLog().size();
    const QFileInfo built(testenv::updaterPath());
    qputenv("QUORVEX_TEST_STOP_AT_MOVE", "2");
    testenv::UpdaterRun killed(home, marker, built.path() + "/signed/" + built.fileName());
    qunsetenv("QUORVEX_TEST_STOP_AT_MOVE");
    QVERIFY2(killed.waitForLog("stopped before move 2"), killed.log.constData());
    killed.kill();
    QVERIFY(!QFile::exists(dataDir + "/latestVersion.json"));
    QVERIFY(!runToLaunch().contains("Каталог успешно очищен."));
    QCOMPARE(record(), second);
    QCOMPARE(testenv::readFile(dataDir + "/Quorvex/version.txt"), QByteArray("5.1"));
    QCOMPARE(testenv::readFile(dataDir + "/Quorvex/plugins/lib.dat"), noise(300000, 2));
    const QByteArray traffic = nginx.accessLog().mid(logged);
    // Two files (and the manifest, which may come from the store too).
    QCOMPARE(traffic.count("GET /store/") -
                 traffic.count(second["manifest_sha256"].toString().toLatin1()),
             2);
    QVERIFY(!traffic.contains(".7z"));

    // A damaged file in a folder is mended from the store, without the version list.
    QVERIFY(testenv::writeFile(dataDir + "/Quorvex/plugins/lib.dat", "damaged"));
    const int before = nginx.accessLog().size();
    QVERIFY(!runToLaunch().isEmpty());
    QCOMPARE(testenv::readFile(dataDir + "/Quorvex/plugins/lib.dat"), noise(300000, 2));
    const QByteArray repair = nginx.accessLog().mid(before);
    QCOMPARE(repair.count("GET /store/"), 1);
    QVERIFY(!repair.contains(".7z") && !repair.contains("GET /versions.json"));

    // A rebuild of the library: the delta that the publishing tool made from the installed one
    // travels, not the file.
    QByteArray rebuilt = noise(300000, 2);
    rebuilt.replace(100000, 8, "rebuilt!");
    publish("5.2", large, {}, {}, {{"version.txt", "5.2"}, {"plugins/lib.dat", rebuilt}});
    const int updated = nginx.accessLog().size();
    QVERIFY(!runToLaunch().isEmpty());
    QCOMPARE(testenv::readFile(dataDir + "/Quorvex/plugins/lib.dat"), rebuilt);
    const QByteArray sha = testenv::sha256(rebuilt).toLatin1();
    const QByteArray delta = nginx.accessLog().mid(updated);
    QVERIFY2(delta.contains("GET /store/deltas/" + sha.left(2) + "/" + sha + "-"), delta);
    QVERIFY(!delta.contains("GET /store/" + sha.left(2) + "/" + sha + " ") &&
            !delta.contains(".7z"));
}

int BinaryTest::tool(const QStringList& arguments, QString* output) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QFileInfo(testenv::updaterPath()).path() + "/qv_publish", arguments);
    process.waitForFinished(60000);
    *output = QString::fromLocal8Bit(process.readAll());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

void BinaryTest::signedReleases() {
    // The vendor's steps: a key from keygen, an updater built with its public key, releases
    // published with it and checked against it, installed and updated.
    const QFileInfo built(testenv::updaterPath());
    const QString updater = built.path() + "/signed/" + built.fileName();
    const QString key = work.filePath("signing.key");
    QString output;
    QCOMPARE(tool({"keygen", "--out", key}, &output), 0);
#ifdef Q_OS_UNIX
    QCOMPARE(QFile::permissions(key) & 0x0fff, QFile::ReadUser | QFile::WriteUser);
#endif
    qputenv("QUORVEX_TEST_PUBLIC_KEYS", output.trimmed().section('\n', -1).toLatin1());
    QDir(dataDir).removeRecursively();
    QDir(www).removeRecursively();
    QVERIFY(QDir().mkpath(www) && nginx.start(www, testenv::compiledServerPort()));
    const QJsonObject first = publish("1.0", "first", key);
    QCOMPARE(
        tool({"check", "--server-dir", www, "--public-key", qgetenv("QUORVEX_TEST_PUBLIC_KEYS")},
             &output),
        0);
    QVERIFY(runToLaunch(updater).contains("Каталог успешно очищен."));
    QCOMPARE(record(), first);
    const QJsonObject second = publish("1.1", "second", key);
    QVERIFY(runToLaunch(updater).contains("Каталог успешно очищен."));
    QCOMPARE(record(), second);
    QCOMPARE(testenv::readFile(dataDir + "/Quorvex/payload.dat"), QByteArray("second"));
    QVERIFY(nginx.accessLog().contains("GET /hashlist.json.sig"));
}

void BinaryTest::realServers_data() {
    QTest::addColumn<QString>("certificate");   // of the archive's https server
    QTest::addColumn<QByteArray>("proxy");      // "": none; "open"; "user:secret": the credentials
    QTest::addColumn<bool>("credentialsGiven"); // ... in the proxy's address
    QTest::addColumn<QByteArray>("refusal");    // what the diagnostics say; empty: it installs
    QTest::newRow("https archive") << "good" << QByteArray() << false << QByteArray();
    QTest::newRow("untrusted certificate")
        << "selfsigned" << QByteArray() << false << QByteArray("Ошибка TLS:");
    QTest::newRow("system proxy") << "good" << QByteArray("open") << false << QByteArray();
#ifndef Q_OS_WIN
    QTest::newRow("proxy credentials in its address")
        << "good" << QByteArray("user:secret") << true << QByteArray();
#endif
    QTest::newRow("proxy wants credentials") << "good" << QByteArray("user:secret") << false
                                             << QByteArray("Прокси-сервер требует авторизации");
}

void BinaryTest::realServers() {
    // The documents from the plain server, the archive over https; with a proxy, both under a
    // name that only the proxy knows.
    QFETCH(QString, certificate);
    QFETCH(QByteArray, proxy);
    QFETCH(bool, credentialsGiven);
    QFETCH(QByteArray, refusal);
    const QFileInfo built(testenv::updaterPath());
    const QString updater = built.path() + "/signed/" + built.fileName();
    qunsetenv("QUORVEX_TEST_PUBLIC_KEYS"); // unsigned documents
    const QByteArray ca = testenv::readFile(FakeHttpServer::certificatePath("ca.pem"));
#ifdef Q_OS_WIN
    if (!windowsTrusts(testenv::readFile(FakeHttpServer::certificatePath("good.pem"))) &&
        (!trustInWindows(ca) ||
         !windowsTrusts(testenv::readFile(FakeHttpServer::certificatePath("good.pem"))))) {
        QSKIP("This Windows does not take a root certificate into its store");
    }
#else
    qputenv("QUORVEX_TEST_CA", FakeHttpServer::certificatePath("ca.pem").toLocal8Bit());
#endif
    // On Windows the previous row's application holds its files until it has ended.
    QVERIFY(QTest::qWaitFor([this] { return QDir(dataDir).removeRecursively(); }, 20000));
    QDir(www).removeRecursively();
    QVERIFY(QDir().mkpath(www) && nginx.start(www, testenv::compiledServerPort()));
    testenv::Nginx secure;
    QVERIFY(secure.start(www, testenv::freePort(), certificate));
    relay.relayed.clear();
    const QString host = proxy.isEmpty() ? "127.0.0.1" : "quorvex.test";
    QUrl documents = nginx.url(""), archives = secure.url("");
    documents.setHost(host);
    archives.setHost(host);
    qputenv("QUORVEX_TEST_SERVER_URL", documents.toEncoded());
    if (!proxy.isEmpty()) {
        relay.requireCredentials(proxy == "open" ? QByteArray() : proxy);
        const QByteArray address = (credentialsGiven ? proxy + "@" : QByteArray()) +
                                   "127.0.0.1:" + QByteArray::number(relay.port());
#ifdef Q_OS_WIN
        QVERIFY(setWindowsProxy(address));
        const QList<QNetworkProxy> reported =
            QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(documents));
        if (reported.value(0).port() != relay.port()) {
            setWindowsProxy({});
            QSKIP("This Windows does not report the proxy of its Internet Settings");
        }
#else
        qputenv("http_proxy", "http://" + address);
        qputenv("https_proxy", "http://" + address);
#endif
    }
    const QJsonObject entry = publish("1.0", "secure", {}, archives.toString());
    testenv::UpdaterRun run(home, marker, updater);
    const bool ended = refusal.isEmpty() ? run.waitForQuit() : run.waitForLog(refusal);
#ifdef Q_OS_WIN
    setWindowsProxy({});
#endif
    for (const char* name :
         {"QUORVEX_TEST_CA", "QUORVEX_TEST_SERVER_URL", "http_proxy", "https_proxy"}) {
        qunsetenv(name);
    }
    QVERIFY2(ended, run.log.constData());
    if (refusal.isEmpty()) {
        QTRY_COMPARE(testenv::starts(marker).last(),
                     QStringList{dataDir + "/Quorvex/" + testenv::executable("quorvex")});
        QCOMPARE(record(), entry);
    } else {
        // Refused like any failed download: nothing installed, recorded or launched.
        QVERIFY2(
            run.waitForLog(proxy.isEmpty() ? "Ошибка загрузки:" : "Ошибка загрузки списка версий:"),
            run.log.constData());
        run.kill();
        QVERIFY(!QFile::exists(dataDir + "/latestVersion.json"));
        QVERIFY(!QFile::exists(dataDir + "/Quorvex"));
    }
    if (!proxy.isEmpty()) {
        // Both went through the proxy, the archive through a tunnel.
        const QByteArray list = "GET " + documents.toEncoded() + "/versions.json HTTP/1.1";
        QCOMPARE(relay.relayed.contains(list), refusal.isEmpty());
        QCOMPARE(relay.relayed.contains("CONNECT " + archives.authority().toLatin1() + " HTTP/1.1"),
                 refusal.isEmpty());
    }
}

QUORVEX_TEST_MAIN(BinaryTest)
#include "tst_binary.moc"
