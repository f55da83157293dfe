// Reading rules of the version list, the record and the hash list, and the guard that keeps
// the installation's wipe inside the data directory.

#include <QJsonDocument>
#include <QTest>

#include "documents.h"

class DocumentsTest : public QObject {
    Q_OBJECT
private slots:
    void versionNumber_data();
    void versionNumber();
    void selection_data();
    void selection();
    void recordAndHashList_data();
    void recordAndHashList();
    void installTarget_data();
    void installTarget();
    void binaryName_data();
    void binaryName();
    void archiveKeys_data();
    void archiveKeys();
};

void DocumentsTest::versionNumber_data() {
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("number");
    QTest::newRow("dotted") << "1.2.10" << 1210;
    QTest::newRow("short beats long") << "1.9.1" << 191;
    QTest::newRow("letters") << "build7" << 7;
    QTest::newRow("leading zeros") << "0.0.7" << 7;
    QTest::newRow("no digits") << "beta" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("largest") << "2147483647" << 2147483647;
    QTest::newRow("overflow") << "2147483648" << 0;
    QTest::newRow("long overflow") << "9.9.9.9.9.9.9.9.9.9.9" << 0;
    QTest::newRow("minus is not a sign") << "-5" << 5;
    QTest::newRow("plus is not a sign") << "+5" << 5;
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

    QTest::newRow("not json") << QByteArray("<html>") << false << "" << 0;
    QTest::newRow("object") << QByteArray(R"({"full":true})") << false << "" << 0;
    QTest::newRow("empty body") << QByteArray() << false << "" << 0;
    QTest::newRow("empty array") << QByteArray("[]") << true << "" << 0;
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
    QTest::newRow("only non-full entries")
        << QByteArray(R"([{"full":false,"version":"9","download_url":"a"}])") << true << "" << 0;
    QTest::newRow("no digits and overflow never win")
        << QByteArray(R"([{"full":true,"version":"beta","download_url":"a"},
                          {"full":true,"version":"99999999999","download_url":"b"}])")
        << true << "" << 0;
    QTest::newRow("non-objects skipped and counted")
        << QByteArray(R"([1,"x",null,[],{"full":true,"version":"2","download_url":"a"}])") << true
        << "a" << 4;
    QTest::newRow("url of another type reads empty")
        << QByteArray(R"([{"full":true,"version":"2","download_url":5}])") << true << "" << 0;
}

void DocumentsTest::selection() {
    QFETCH(QByteArray, body);
    QFETCH(bool, isArray);
    QFETCH(QString, chosenUrl);
    QFETCH(int, invalidElements);
    const documents::VersionSelection s = documents::selectFullVersion(body);
    QCOMPARE(s.isArray, isArray);
    QCOMPARE(s.invalidElements, invalidElements);
    QCOMPARE(s.downloadUrl, chosenUrl);
    if (!chosenUrl.isEmpty()) {
        QVERIFY(s.found);
        // The entry is kept whole, so the record carries every key the server sent.
        QCOMPARE(s.entry.value("download_url").toString(), chosenUrl);
    }
}

void DocumentsTest::recordAndHashList_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("object") << QByteArray(R"({"version":"1"})") << true;
    QTest::newRow("empty object") << QByteArray("{}") << true;
    QTest::newRow("empty array") << QByteArray("[]") << false;
    QTest::newRow("empty file") << QByteArray() << false;
    QTest::newRow("truncated") << QByteArray(R"({"version":)") << false;
    QTest::newRow("scalar") << QByteArray("42") << false;
}

void DocumentsTest::recordAndHashList() {
    QFETCH(QByteArray, text);
    QFETCH(bool, accepted);
    QCOMPARE(documents::parseRecord(text).has_value(), accepted);
    QCOMPARE(documents::parseHashList(text).has_value(), accepted);
}

void DocumentsTest::installTarget_data() {
    QTest::addColumn<QString>("extractTo");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("subdirectory") << "/app" << true;
    QTest::newRow("nested") << "/apps/quorvex/" << true;
    QTest::newRow("sibling glued onto the name") << "app" << true;
    QTest::newRow("inside the download folder") << "/update/x" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("root") << "/" << false;
    QTest::newRow("dot") << "/." << false;
    QTest::newRow("double slash") << "//" << false;
    QTest::newRow("parent") << "/.." << false;
    QTest::newRow("parent then name") << "/../x" << false;
    QTest::newRow("climbing back") << "/a/../.." << false;
    QTest::newRow("harmless-looking parent") << "/a/../b" << false;
    QTest::newRow("backslash parent") << "\\..\\x" << false;
    QTest::newRow("download folder") << "/update" << false;
    QTest::newRow("dot at the end") << "/app/." << false;
    QTest::newRow("glued dot") << "x/." << false;
    QTest::newRow("drive") << "/C:/Windows" << false;
    QTest::newRow("nul") << QString("/app") + QChar(0) + "x" << false;
    QTest::newRow("newline") << "/app\n" << false;
}

void DocumentsTest::installTarget() {
    QFETCH(QString, extractTo);
    QFETCH(bool, allowed);
    const QString problem =
        documents::installTargetProblem("/home/u/.local/share/qv_updater", extractTo);
    QCOMPARE(problem.isEmpty(), allowed);
}

void DocumentsTest::binaryName_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("plain") << "/quorvex.exe" << true;
    QTest::newRow("nested") << "/bin/quorvex" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("parent") << "/../../bin/sh" << false;
    QTest::newRow("backslash parent") << "\\..\\x.exe" << false;
    QTest::newRow("nul") << QString("/a") + QChar(0) << false;
}

void DocumentsTest::binaryName() {
    QFETCH(QString, name);
    QFETCH(bool, allowed);
    QCOMPARE(documents::binaryNameProblem(name).isEmpty(), allowed);
}

void DocumentsTest::archiveKeys_data() {
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<bool>("wellFormed");
    const QByteArray digest(64, 'a');
    QTest::newRow("absent") << QByteArray("{}") << true;
    QTest::newRow("both") << QByteArray(R"({"size":10,"sha256":")" + digest + "\"}") << true;
    QTest::newRow("zero size") << QByteArray(R"({"size":0})") << true;
    QTest::newRow("negative size") << QByteArray(R"({"size":-1})") << false;
    QTest::newRow("fractional size") << QByteArray(R"({"size":1.5})") << false;
    QTest::newRow("size as text") << QByteArray(R"({"size":"10"})") << false;
    QTest::newRow("huge size") << QByteArray(R"({"size":1e300})") << false;
    QTest::newRow("uppercase digest")
        << QByteArray(R"({"sha256":")" + digest.toUpper() + "\"}") << false;
    QTest::newRow("short digest") << QByteArray(R"({"sha256":"abc"})") << false;
    QTest::newRow("digest as number") << QByteArray(R"({"sha256":1})") << false;
}

void DocumentsTest::archiveKeys() {
    QFETCH(QByteArray, entry);
    QFETCH(bool, wellFormed);
    const QJsonObject object = QJsonDocument::fromJson(entry).object();
    QCOMPARE(documents::archiveCheckProblem(object).isEmpty(), wellFormed);
}

QTEST_GUILESS_MAIN(DocumentsTest)
#include "tst_documents.moc"
