// The document rules: version numbers, the choice of the full version, the record and the hash
// list, the files that are verified, the guards that keep the wipe and the launch inside the
// data directory, and the disk space an update needs.

#include <QJsonDocument>
#include <QTest>

#include "diskspace.h"
#include "documents.h"
#include "manifest.h"
#include "paths.h"
#include "signature.h"
#include "signing.h"
#include "testenv.h"
#include "tree.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

class DocumentsTest : public QObject {
    Q_OBJECT
private slots:
    void versionNumber_data();
    void versionNumber();
    void selection_data();
    void selection();
    void recordAndHashList();
    void relativeDataHome();
    void verifiedFiles();
    void entryGuards_data();
    void entryGuards();
    void archiveKeys();
    void links_data();
    void links();
    void signatures();
    void diskSpace();
    void manifest_data();
    void manifest();
    void plan_data();
    void plan();
    void swap_data();
    void swap();
};

void DocumentsTest::versionNumber_data() {
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("number");
    QTest::newRow("dotted") << "1.2.10" << 1210;
    QTest::newRow("letters and signs dropped") << "-build+7" << 7;
    QTest::newRow("no digits") << "beta" << 0;
    QTest::newRow("largest") << "2147483647" << 2147483647;
    QTest::newRow("overflow") << "2147483648" << 0;
}

void DocumentsTest::versionNumber() {
    QFETCH(QString, label);
    QFETCH(int, number);
    QCOMPARE(documents::versionNumber(label), number);
}

void DocumentsTest::selection_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("isArray");
    QTest::addColumn<QString>("chosenUrl"); // empty: nothing selected
    QTest::addColumn<int>("invalidElements");
    QTest::newRow("object") << QByteArray(R"({"full":true})") << false << "" << 0;
    QTest::newRow("numbers compare, not text")
        << QByteArray(R"([{"full":true,"version":"1.2.10","download_url":"a"},
                          {"full":true,"version":"1.9","download_url":"b"}])")
        << true << "a" << 0;
    QTest::newRow("equal numbers keep the first")
        << QByteArray(R"([{"full":true,"version":"1.2","download_url":"a"},
                          {"full":true,"version":"12","download_url":"b"}])")
        << true << "a" << 0;
    QTest::newRow("only literal true is full")
        << QByteArray(R"([{"full":"true","version":"9","download_url":"a"},
                          {"full":1,"version":"8","download_url":"b"},
                          {"version":"7","download_url":"c"},
                          {"full":true,"version":"1","download_url":"d"}])")
        << true << "d" << 0;
    QTest::newRow("no digits and overflow never win")
        << QByteArray(R"([{"full":true,"version":"beta","download_url":"a"},
                          {"full":true,"version":"99999999999","download_url":"b"}])")
        << true << "" << 0;
    QTest::newRow("non-objects skipped and counted")
        << QByteArray(R"([1,"x",null,[],{"full":true,"version":"2","download_url":"a"}])") << true
        << "a" << 4;
}

void DocumentsTest::selection() {
    QFETCH(QByteArray, body);
    QFETCH(bool, isArray);
    QFETCH(QString, chosenUrl);
    QFETCH(int, invalidElements);
    const documents::VersionSelection s = documents::selectFullVersion(body);
    QCOMPARE(s.isArray, isArray);
    QCOMPARE(s.invalidElements, invalidElements);
    QCOMPARE(s.found, !chosenUrl.isEmpty());
    QCOMPARE(s.downloadUrl, chosenUrl);
    QCOMPARE(s.entry.value("download_url").toString(), chosenUrl);
}

void DocumentsTest::recordAndHashList() {
    for (const QByteArray& text : {QByteArray("{}"), QByteArray(R"({"version":"1"})")}) {
        QVERIFY(documents::parseRecord(text) && documents::parseHashList(text));
    }
    for (const QByteArray& text : {QByteArray("[]"), QByteArray(), QByteArray(R"({"v":)")}) {
        QVERIFY(!documents::parseRecord(text) && !documents::parseHashList(text));
    }
}

void DocumentsTest::relativeDataHome() {
#ifdef Q_OS_WIN
    QSKIP("The data directory of Windows comes from the user's profile, always absolute");
#else
    // Qt takes a relative XDG_DATA_HOME as it is; the installation's paths must not be.
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", "h/k");
    const QString dir = paths::dataDir();
    qputenv("XDG_DATA_HOME", saved);
    QVERIFY2(dir.startsWith(QDir::current().absoluteFilePath("h/k/")), qPrintable(dir));
#endif
}

void DocumentsTest::verifiedFiles() {
    // Regular files directly inside, by name ignoring case, without settings files.
    QTemporaryDir dir;
    QVERIFY(testenv::writeTree(dir.path(), {{"b.dll", "1"},
                                            {"A.dll", "2"},
                                            {"C.txt", "3"},
                                            {"a.ini", ""},
                                            {"B.INI", ""},
                                            {"c.Ini", ""},
                                            {".hidden", ""},
                                            {"hidden.dll", ""},
                                            {"system.dll", ""},
                                            {"sub/d.dll", "4"}}));
#ifdef Q_OS_WIN
    // Files that Windows marks hidden or system.
    for (const auto& [name, attribute] : {std::make_pair("hidden.dll", FILE_ATTRIBUTE_HIDDEN),
                                          std::make_pair("system.dll", FILE_ATTRIBUTE_SYSTEM)}) {
        const QString path = QDir::toNativeSeparators(dir.filePath(name));
        QVERIFY(SetFileAttributesW(reinterpret_cast<const wchar_t*>(path.utf16()), attribute));
    }
    const QStringList verified{"A.dll", "b.dll", "C.txt"};
#else
    QVERIFY(mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600) == 0);
    QVERIFY(QFile::link("gone", dir.filePath("dangling.dll")));
    const QStringList verified{"A.dll", "b.dll", "C.txt", "fifo", "hidden.dll", "system.dll"};
#endif
    QCOMPARE(documents::verifiedFileNames(dir.path()), verified);
    QCOMPARE(documents::verifiedFileNames(dir.filePath("missing")), QStringList());
}

void DocumentsTest::entryGuards_data() {
    QTest::addColumn<QString>("extractTo");
    QTest::addColumn<QString>("binaryName");
    QTest::addColumn<bool>("allowed");
    const QString ok = "/quorvex";
    QTest::newRow("subdirectory") << "/app" << ok << true;
    QTest::newRow("nested, trailing slash") << "/apps/quorvex/" << ok << true;
    QTest::newRow("a name starting like the updater's") << "/updates" << ok << true;
    QTest::newRow("nested executable") << "/app"
                                       << "/bin/quorvex" << true;
    QTest::newRow("names like device names") << "/console/COM10"
                                             << "/nul_1/LPT.exe" << true;
    // The data directory in entryGuards() has 31 characters.
    QTest::newRow("executable path of 259 characters")
        << "/" + QString(221, 'a') << "/q.exe" << true;
    QTest::newRow("executable path of 260 characters")
        << "/" + QString(222, 'a') << "/q.exe" << false;
    for (const QString& target : {QString(""),         QString("/"),
                                  QString("/."),       QString("//"),
                                  QString("/./"),      QString("/.."),
                                  QString("/../x"),    QString("/a/../.."),
                                  QString("/a/../b"),  QString("\\..\\x"),
                                  QString("/..\\.."),  QString("/update"),
                                  QString("/update/"), QString("/app/."),
                                  QString("x/."),      QString("/C:/Windows"),
                                  QString("/app\n"),   QString("/a") + QChar(0),
                                  QString("/a*"),      QString("/a?b")}) {
        QTest::addRow("extract_to \"%s\"", qPrintable(target)) << target << ok << false;
    }
    // Siblings of the data directory, and the updater's own files and folders in it.
    for (const char* target :
         {"app", "2", "/update/x", "/BIN/x", "/update\\x", "/bin\\x", "/7z", "/hashlist.json",
          "/LatestVersion.json", "/qv_updater.exe", "/qv_updater.lock"}) {
        QTest::addRow("extract_to \"%s\"", target) << QString(target) << ok << false;
    }
    for (const QString& binary : {QString(""), QString("/../../bin/sh"), QString("\\..\\x.exe"),
                                  QString("/x\\..\\..\\y"), QString("/a") + QChar(0)}) {
        QTest::addRow("binary_name \"%s\"", qPrintable(binary)) << "/app" << binary << false;
    }
    // What Windows reads otherwise: trailing dots and spaces, drives, streams, devices.
    for (const char* name : {"/app.", "/app ", "/a./b", "/C:\\q", "/q:stream", "/a<b|c\"", "/CON",
                             "/con/x", "/nul.txt", "/Lpt9", "/aux .tar.gz", "/CONOUT$"}) {
        QTest::addRow("extract_to \"%s\"", name) << name << ok << false;
        QTest::addRow("binary_name \"%s\"", name) << "/app" << name << false;
    }
}

void DocumentsTest::entryGuards() {
    QFETCH(QString, extractTo);
    QFETCH(QString, binaryName);
    QFETCH(bool, allowed);
    const QString dataDir = "/home/u/.local/share/qv_updater";
    QCOMPARE(documents::installTargetProblem(dataDir, extractTo).isEmpty() &&
                 documents::binaryNameProblem(binaryName).isEmpty() &&
                 documents::executablePathProblem(dataDir, extractTo, binaryName).isEmpty(),
             allowed);
}

void DocumentsTest::archiveKeys() {
    // The keys judged with the whole entry: its archive's address and integrity keys.
    const QByteArray digest(64, 'a');
    const QList<QPair<QByteArray, bool>> rows{{"{}", true},
                                              {R"({"size":0,"sha256":")" + digest + "\"}", true},
                                              {R"({"size":-1})", false},
                                              {R"({"size":1.5})", false},
                                              {R"({"size":"10"})", false},
                                              {R"({"size":1e300})", false},
                                              {R"({"sha256":")" + digest.toUpper() + "\"}", false},
                                              {R"({"sha256":"abc"})", false},
                                              {R"({"sha256":1})", false},
                                              {R"({"download_url":"HTTPS://h/a.7z"})", true},
                                              {R"({"download_url":"file:///tmp/a.7z"})", false},
                                              {R"({"download_url":"ftp://h/a.7z"})", false},
                                              {R"({"download_url":"data:,a.7z"})", false},
                                              {R"({"download_url":"/a.7z"})", false},
                                              {R"({"download_url":"http:a.7z"})", false},
                                              {R"({"manifest_url":"http://h/m.json",
                                                   "manifest_size":10,
                                                   "manifest_sha256":")" +
                                                   digest + "\"}",
                                               true},
                                              {R"({"manifest_url":"http://h/m.json"})", false},
                                              {R"({"manifest_url":"file:///m.json",
                                                   "manifest_size":10,
                                                   "manifest_sha256":")" +
                                                   digest + "\"}",
                                               false},
                                              {R"({"manifest_url":"http://h/m.json",
                                                   "manifest_size":-1,
                                                   "manifest_sha256":")" +
                                                   digest + "\"}",
                                               false}};
    for (const auto& row : rows) {
        QJsonObject entry{
            {"extract_to", "/app"}, {"binary_name", "/q"}, {"download_url", "http://h/a.7z"}};
        const QJsonObject keys = QJsonDocument::fromJson(row.first).object();
        for (auto it = keys.begin(); it != keys.end(); ++it) {
            entry.insert(it.key(), it.value());
        }
        QVERIFY2(documents::entryProblem("/d", entry, "a.7z").isEmpty() == row.second, row.first);
    }
}

void DocumentsTest::links_data() {
    // "name" a file, "name/" a directory, "name>target" a link; the outside directory is a
    // sibling of the installation.
    QTest::addColumn<QByteArrayList>("entries");
    QTest::addColumn<bool>("leadsOutside");
    QTest::newRow("chain through a link to .")
        << QByteArrayList{"x>.", "s>x/x/x/sub/../../../.."} << true;
    QTest::newRow("chain ending inside")
        << QByteArrayList{"d/", "d/up>..", "a>d/up/d/up/f"} << false;
    QTest::newRow("dangling inside") << QByteArrayList{"libx.so>libx.so.1"} << false;
    QTest::newRow("climbing past a missing name") << QByteArrayList{"a>gone/../../outside"} << true;
    QTest::newRow("loop") << QByteArrayList{"a>b", "b>a"} << true;
    // A sibling whose name begins with the installation's is outside it.
    QTest::newRow("into a sibling named alike") << QByteArrayList{"a>../inst2/x"} << true;
    QTest::newRow("names not UTF-8, a link out")
        << QByteArrayList{"d\xff/", "d\xff/f\xc3", "d\xff/out>../../outside"} << true;
}

void DocumentsTest::links() {
#ifdef Q_OS_WIN
    QSKIP("Qt makes shortcuts, not links, on Windows");
#else
    QFETCH(QByteArrayList, entries);
    QFETCH(bool, leadsOutside);
    QTemporaryDir dir;
    QVERIFY(testenv::writeTree(dir.path(), {{"outside/kept", "1"}, {"inst/f", "2"}}));
    const QByteArray root = QFile::encodeName(dir.filePath("inst"));
    for (const QByteArray& entry : entries) {
        const QByteArray path = root + '/' + entry.split('>').first();
        QVERIFY(entry.contains('>')   ? symlink(entry.split('>').last(), path) == 0
                : entry.endsWith('/') ? mkdir(path, 0700) == 0
                                      : close(open(path, O_CREAT | O_WRONLY, 0600)) == 0);
    }
    QCOMPARE(!tree::linkLeadingOutside(dir.filePath("inst")).isEmpty(), leadsOutside);
    const QByteArray all = entries.join();
    QCOMPARE(tree::nameNotUtf8(dir.filePath("inst")).contains("\\xff"),
             QString::fromUtf8(all).toUtf8() != all);
    // The wipe takes everything, whatever the names, and nothing through a link.
    QVERIFY(symlink("outside", QFile::encodeName(dir.filePath("through"))) == 0);
    QVERIFY(!tree::removeTree(dir.path(), "/through/kept"));
    QVERIFY(tree::removeTree(dir.path(), "/through")); // the link, not what it leads to
    QVERIFY(tree::removeTree(dir.path(), "/inst"));
    QVERIFY(!QFileInfo::exists(dir.filePath("inst")) &&
            QFile::exists(dir.filePath("outside/kept")));
#endif
}

void DocumentsTest::signatures() {
    using namespace publish::signing;
    using V = signature::Verdict;
    const QByteArray key = generateKey(), other = generateKey(), list = "[]\n";
    const QString trusted = publicKeyOf(key);
    QByteArray flipped = QByteArray::fromBase64(sign(key, list));
    flipped[10] = char(flipped[10] ^ 1);
    // Keys starting with "%" are malformed: they trust nothing.
    const QList<std::tuple<QByteArray, QByteArray, QString, V>> rows{
        {list, sign(key, list), trusted, V::Valid},
        {list, " " + sign(key, list).trimmed() + "\r\n", publicKeyOf(other) + ", " + trusted,
         V::Valid},
        {"[]\r", sign(key, list), trusted, V::Mismatch},
        {list, flipped.toBase64(), trusted, V::Mismatch},
        {list, sign(other, list), trusted, V::Mismatch},
        {list, sign(key, list), "%" + trusted, V::Mismatch},
        {list, "\n", trusted, V::Missing},
        {list, "%" + sign(key, list), trusted, V::Malformed},
        {list, flipped.left(63).toBase64(), trusted, V::Malformed}};
    for (const auto& [document, text, keys, verdict] : rows) {
        QList<QByteArray> parsed;
        QCOMPARE(signature::parsePublicKeys(keys, &parsed), !keys.startsWith('%'));
        QVERIFY2(signature::verify(document, text, parsed) == verdict, text);
    }
}

void DocumentsTest::diskSpace() {
    // The files that the new ones replace are freed first; the megabytes needed round up, the
    // free ones down; free space that cannot be told refuses nothing.
    const qint64 mib = 1024 * 1024;
    const QList<std::tuple<qint64, qint64, qint64, QString>> rows{
        {5 * mib, 5 * mib, 0, ""},
        {5 * mib + 1, 5 * mib, 0, "нужно 6 МБ, свободно 5 МБ."},
        {10 * mib, 4 * mib, 6 * mib, ""},
        {10 * mib, 4 * mib - 1, 6 * mib, "нужно 10 МБ, свободно 9 МБ."},
        {10 * mib, -1, 0, ""}};
    for (const auto& [needed, available, reclaimed, missing] : rows) {
        const QString message = diskspace::shortage(needed, available, reclaimed);
        QVERIFY2(missing.isEmpty()
                     ? message.isEmpty()
                     : message == "Недостаточно места на диске: для обновления " + missing,
                 qPrintable(message));
    }
}

namespace {
QByteArray manifestOf(const QByteArray& files, const QByteArray& store = "../store/") {
    return R"({"format":1,"store":")" + store + R"(","files":[)" + files + "]}";
}
QByteArray fileOf(const QByteArray& path, char digit = 'a', int packed = 9,
                  const QByteArray& deltas = {}) {
    return R"({"path":")" + path + R"(","size":10,"sha256":")" + QByteArray(64, digit) +
           R"(","packed":)" + QByteArray::number(packed) +
           (deltas.isNull() ? "" : R"(,"deltas":)" + deltas) + "}";
}
QByteArray deltaOf(char from, int packed, qint64 fromSize = 7) {
    return R"({"from":")" + QByteArray(64, from) + R"(","from_size":)" +
           QByteArray::number(fromSize) + R"(,"packed":)" + QByteArray::number(packed) + "}";
}
} // namespace

void DocumentsTest::manifest_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("accepted");
    const QByteArray a = fileOf("a.dll");
    QTest::newRow("files in folders") << manifestOf(a + "," + fileOf("sub/deep/b.dll")) << true;
    QTest::newRow("no files") << manifestOf("") << true;
    QTest::newRow("absolute store") << manifestOf(a, "https://cdn.example/s/") << true;
    QTest::newRow("not JSON") << QByteArray("{") << false;
    QTest::newRow("another format")
        << QByteArray(R"({"format":2,"store":"s/","files":[]})") << false;
    QTest::newRow("store not a folder") << manifestOf(a, "../store") << false;
    QTest::newRow("store on another scheme") << manifestOf(a, "file:///s/") << false;
    QTest::newRow("store without a scheme") << manifestOf(a, "//other.host/s/") << false;
    for (const QByteArray& path : QByteArrayList{"/a", "../a", "sub/../a", "sub//a", "./a",
                                                 "a\\\\b", "con.txt", "a:b", "dir./a", ""}) {
        QTest::newRow("path " + path) << manifestOf(fileOf(path)) << false;
    }
    QTest::newRow("same file twice") << manifestOf(a + "," + fileOf("A.DLL")) << false;
    // One name on NTFS, whose upper-case table maps each letter on its own.
    for (const auto& pair :
         QList<QPair<QByteArray, QByteArray>>{{"ı.dll", "i.dll"}, {"σ", "ς"}, {"ſ.ini", "S.ini"}}) {
        QTest::newRow("one name on Windows: " + pair.first + " " + pair.second)
            << manifestOf(fileOf(pair.first) + "," + fileOf(pair.second)) << false;
    }
    QTest::newRow("ß and ss are two names") << manifestOf(fileOf("ß") + "," + fileOf("ss")) << true;
    QTest::newRow("a file and its folder")
        << manifestOf(fileOf("Sub") + "," + fileOf("sub/b")) << false;
    QTest::newRow("digest in capitals") << manifestOf(fileOf("a", 'A')) << false;
    QTest::newRow("nothing packed") << manifestOf(fileOf("a", 'a', 0)) << false;
    const QByteArray b = deltaOf('b', 3);
    QTest::newRow("deltas") << manifestOf(fileOf("a", 'a', 9, "[" + b + "]")) << true;
    // What a later publishing tool adds is ignored, as builds before deltas ignore "deltas".
    QTest::newRow("keys it does not know")
        << manifestOf(fileOf("a", 'a', 9, R"([{"later":1,)" + b.mid(1) + R"(],"later":{})"))
        << true;
    QTest::newRow("no deltas") << manifestOf(fileOf("a", 'a', 9, "[]")) << true;
    QTest::newRow("deltas not a list") << manifestOf(fileOf("a", 'a', 9, b)) << false;
    QTest::newRow("a delta from its own content")
        << manifestOf(fileOf("a", 'a', 9, "[" + deltaOf('a', 3) + "]")) << false;
    QTest::newRow("two deltas from one base")
        << manifestOf(fileOf("a", 'a', 9, "[" + b + "," + b + "]")) << false;
    QTest::newRow("an empty delta")
        << manifestOf(fileOf("a", 'a', 9, "[" + deltaOf('b', 0) + "]")) << false;
    QTest::newRow("a base beyond the limit")
        << manifestOf(fileOf("a", 'a', 9, "[" + deltaOf('b', 3, 64 * 1024 * 1024 + 1) + "]"))
        << false;
    QByteArray nine;
    for (char from : QByteArray("bcdefghij")) {
        nine += (nine.isEmpty() ? "" : ",") + deltaOf(from == 'g' ? '0' : from, 3);
    }
    QTest::newRow("nine deltas") << manifestOf(fileOf("a", 'a', 9, "[" + nine + "]")) << false;
    QTest::newRow("size a string") << manifestOf(R"({"path":"a","size":"1","sha256":")" +
                                                 QByteArray(64, 'a') + R"(","packed":1})")
                                   << false;
}

void DocumentsTest::manifest() {
    QFETCH(QByteArray, text);
    QFETCH(bool, accepted);
    QString problem;
    const auto manifest = documents::parseManifest(text, &problem);
    QCOMPARE(bool(manifest), accepted);
    QCOMPARE(problem.isEmpty(), accepted);
    if (manifest && !manifest->files.isEmpty()) {
        QCOMPARE(
            documents::storedFileUrl(QUrl("http://h/m/1.json"), *manifest, manifest->files.first()),
            QUrl(manifest->store.startsWith("http") ? manifest->store + "aa/" + QByteArray(64, 'a')
                                                    : "http://h/store/aa/" + QByteArray(64, 'a')));
    }
    if (manifest && text.contains(R"("deltas":[{)")) {
        const documents::ManifestFile& file = manifest->files.first();
        QCOMPARE(file.deltas.size(), 1);
        QCOMPARE(file.deltas[0].fromSize, 7);
        QCOMPARE(file.deltas[0].packed, 3);
        QCOMPARE(
            documents::storedDeltaUrl(QUrl("http://h/m/1.json"), *manifest, file, file.deltas[0]),
            QUrl("http://h/store/deltas/aa/" + QByteArray(64, 'a') + "-" + QByteArray(64, 'b')));
    }
}

void DocumentsTest::plan_data() {
    QTest::addColumn<QByteArray>("files");      // the manifest's
    QTest::addColumn<QStringList>("installed"); // path=digit of its digest ('-' unknown)
    QTest::addColumn<qint64>("archiveSize");
    QTest::addColumn<bool>("removeExtra");
    QTest::addColumn<QString>("expected"); // fetched | removed | archive
    const QByteArray two = fileOf("a", 'a', 500000) + "," + fileOf("sub/b", 'b', 500000);
    QTest::newRow("one changed, one dropped") << two << QStringList{"a=a", "sub/b=c", "old=d"}
                                              << qint64(2000000) << true << "sub/b | old | ";
    QTest::newRow("unknown digest fetched, repair keeps extras")
        << two << QStringList{"a=-", "sub/b=b", "old=d"} << qint64(2000000) << false << "a |  | ";
    QTest::newRow("settings kept whatever they hold")
        << fileOf("q.INI", 'a') << QStringList{"q.INI=c", "user.ini=c"} << qint64(100) << true
        << " |  | ";
    QTest::newRow("missing settings fetched")
        << fileOf("q.ini", 'a', 10) << QStringList{} << qint64(1000000) << true << "q.ini |  | ";
    QTest::newRow("beyond the share: the archive")
        << two << QStringList{"a=c"} << qint64(1500000) << true << "a,sub/b |  | archive";
    QTest::newRow("each request counts besides its bytes")
        << two << QStringList{} << qint64(1800000) << true << "a,sub/b |  | archive";
    QTest::newRow("without the archive's size the manifest counts")
        << two << QStringList{} << qint64(-1) << true << "a,sub/b |  | archive";
    // A delta travels instead of the object when its base is installed, wherever it is.
    const QByteArray delta = fileOf("a", 'a', 900000,
                                    "[" + deltaOf('c', 900) + "," + deltaOf('d', 800) + "," +
                                        deltaOf('e', 950000) + "]");
    QTest::newRow("a delta from a file elsewhere")
        << delta << QStringList{"a=c", "moved=d"} << qint64(1000000) << true
        << "a | moved |  | a<moved";
    QTest::newRow("the smaller delta of two bases")
        << delta << QStringList{"x=c", "y=d"} << qint64(1000000) << false << "a |  |  | a<y";
    QTest::newRow("no base installed: the object")
        << delta << QStringList{"a=f", "x=-"} << qint64(1000000) << true << "a | x | archive";
    QTest::newRow("a delta larger than its object")
        << delta << QStringList{"z=e"} << qint64(10000000) << false << "a |  | ";
    QTest::newRow("all current: nothing to do")
        << two << QStringList{"a=a", "sub/b=b"} << qint64(0) << true << " |  | ";
}

void DocumentsTest::plan() {
    QFETCH(QByteArray, files);
    QFETCH(QStringList, installed);
    QFETCH(qint64, archiveSize);
    QFETCH(bool, removeExtra);
    QFETCH(QString, expected);
    QHash<QString, QString> digests;
    for (const QString& item : installed) {
        const QChar digit = item.back();
        digests.insert(item.chopped(2), digit == '-' ? QString() : QString(64, digit));
    }
    const auto manifest = documents::parseManifest(manifestOf(files));
    QVERIFY(manifest);
    const documents::UpdatePlan plan =
        documents::planUpdate(*manifest, digests, archiveSize, removeExtra);
    QStringList fetched;
    for (const documents::ManifestFile& file : plan.fetch) {
        fetched << file.path;
    }
    QStringList bases;
    for (auto it = plan.bases.cbegin(); it != plan.bases.cend(); ++it) {
        bases << manifest->files.first().path + "<" + it->path;
        QCOMPARE(digests.value(it->path), it->delta.from);
    }
    QCOMPARE(fetched.join(',') + " | " + plan.remove.join(',') + " | " +
                 (plan.useArchive ? "archive" : "") + (bases.isEmpty() ? "" : " | ") +
                 bases.join(','),
             expected);
    QCOMPARE(plan.keep.size() + fetched.size(), manifest->files.size());
}

void DocumentsTest::swap_data() {
    // The installation ("l>" makes a link to outside, a folder "r-x" is made read-only).
    QTest::addColumn<testenv::Tree>("before");
    QTest::addColumn<QStringList>("aside");
    QTest::addColumn<testenv::Tree>("place"); // relative path -> staged bytes ("" never staged)
    QTest::addColumn<testenv::Tree>("after"); // empty: refused, everything as before
    QTest::newRow("replaced, added in a new folder, removed")
        << testenv::Tree{{"a", "old"}, {"sub/b", "kept"}, {"gone", "x"}} << QStringList{"a", "gone"}
        << testenv::Tree{{"a", "new"}, {"new/c", "c"}}
        << testenv::Tree{
               {"a", "new"}, {"sub/", {}}, {"sub/b", "kept"}, {"new/", {}}, {"new/c", "c"}};
    QTest::newRow("a folder where a file was, a file where a folder was")
        << testenv::Tree{{"f", "x"}, {"d/x", "y"}} << QStringList{"f", "d/x"}
        << testenv::Tree{{"f/g", "g"}, {"d", "file"}}
        << testenv::Tree{{"f/", {}}, {"f/g", "g"}, {"d", "file"}};
    QTest::newRow("a move fails halfway: all back")
        << testenv::Tree{{"a", "old"}, {"b", "old"}} << QStringList{"a", "b"}
        << testenv::Tree{{"a", "new"}, {"b", ""}} << testenv::Tree{};
    QTest::newRow("a folder with folders and settings in the way: aside whole")
        << testenv::Tree{{"d/user.ini", "mine"}, {"d/sub/x", "y"}} << QStringList{"d/sub/x"}
        << testenv::Tree{{"d", "file"}} << testenv::Tree{{"d", "file"}};
    QTest::newRow("a name too long: all back")
        << testenv::Tree{{"a", "old"}} << QStringList{"a"}
        << testenv::Tree{{"a", "new"}, {QString(300, 'n') + "/b", "b"}} << testenv::Tree{};
#ifndef Q_OS_WIN
    QTest::newRow("a read-only folder")
        << testenv::Tree{{"ro/", "r-x"}, {"ro/a", "old"}} << QStringList{"ro/a"}
        << testenv::Tree{{"ro/a", "new"}} << testenv::Tree{{"ro/", {}}, {"ro/a", "new"}};
    QTest::newRow("never through a link") << testenv::Tree{{"l>", {}}} << QStringList{}
                                          << testenv::Tree{{"l/x", "x"}} << testenv::Tree{};
#endif
}

void DocumentsTest::swap() {
    QFETCH(testenv::Tree, before);
    QFETCH(QStringList, aside);
    QFETCH(testenv::Tree, place);
    QFETCH(testenv::Tree, after);
    QTemporaryDir dir;
    const QString inst = dir.filePath("inst");
    QVERIFY(testenv::writeTree(dir.filePath("outside"), {{"kept", "1"}}));
    QVERIFY(QDir().mkpath(dir.filePath("old")) && QDir().mkpath(dir.filePath("staged")));
    testenv::Tree plain = before;
    plain.remove("l>");
    QVERIFY(testenv::writeTree(inst, plain));
    for (auto it = before.begin(); it != before.end(); ++it) {
        if (it.value() == "r-x") {
            QVERIFY(
                QFile::setPermissions(inst + "/" + it.key(), QFile::ReadOwner | QFile::ExeOwner));
        }
    }
    if (before.contains("l>")) {
        QVERIFY(QFile::link(dir.filePath("outside"), inst + "/l"));
    }
    const testenv::Tree installed = testenv::readTree(inst);
    QVector<tree::Placement> placements;
    for (auto it = place.begin(); it != place.end(); ++it) {
        const QString staged = dir.filePath("staged/" + QString::number(placements.size()));
        QVERIFY(it.value().isEmpty() || testenv::writeFile(staged, it.value()));
        placements.append({staged, it.key()});
    }
    const testenv::Tree staged = testenv::readTree(dir.filePath("staged"));
    QString failed;
    QCOMPARE(tree::swapFiles(inst, aside, placements, dir.filePath("old"), &failed),
             !after.isEmpty());
    QCOMPARE(testenv::readTree(inst), after.isEmpty() ? installed : after);
#ifndef Q_OS_WIN
    // What the swap puts in place is the user's only.
    for (auto it = place.begin(); it != place.end() && !after.isEmpty(); ++it) {
        const auto others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                            QFileDevice::ExeGroup | QFileDevice::ReadOther |
                            QFileDevice::WriteOther | QFileDevice::ExeOther;
        QCOMPARE(QFileInfo(inst + "/" + it.key()).permissions() & others,
                 QFileDevice::Permissions());
    }
#endif
    QCOMPARE(testenv::readTree(dir.filePath("outside")), (testenv::Tree{{"kept", "1"}}));
    // What was replaced or in the way is aside, or nothing when refused.
    const uint asideCount = QDir(dir.filePath("old")).count() - 2;
    QVERIFY(after.isEmpty() ? asideCount == 0 : asideCount >= uint(aside.size()));
    if (after.isEmpty()) {
        QVERIFY2(failed.contains(": "), qPrintable(failed)); // the path and the reason
        QCOMPARE(testenv::readTree(dir.filePath("staged")), staged);
    }
}

QUORVEX_TEST_MAIN(DocumentsTest)
#include "tst_documents.moc"
