// The window, its progress display, the record writer and detached launching, in-process.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QJsonDocument>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "mainwindow.h"
#include "paths.h"

namespace {
// Nothing listens here: every request of the window fails at once.
const QUrl deadServer(QStringLiteral("http://127.0.0.1:1"));

QString labelText(MainWindow& w) {
    return w.findChild<QLabel*>(QStringLiteral("statusLabel"))->text();
}

int barValue(MainWindow& w) {
    return w.findChild<QProgressBar*>(QStringLiteral("progressBar"))->value();
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Copies the marker helper to path; when started it appends a line to path + ".marker".
void installMarkerProgram(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    QVERIFY(QFile::copy(QStringLiteral(QUORVEX_MARKER_APP), path));
}
} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void windowAsBuilt();
    void progress_data();
    void progress();
    void recordBytes_data();
    void recordBytes();
    void startProcessOutcomes_data();
    void startProcessOutcomes();
    void startProcessWritesRecordOnlyForAnEntry();
    void constructionHandOffKeepsTheRecord();
    void cancel();

private:
    QString dataDir;
};

void MainWindowTest::init() {
    dataDir = paths::dataDir();
    QVERIFY(dataDir.contains(QStringLiteral("tst_mainwindow")));
    QDir(dataDir).removeRecursively();
    QVERIFY(QDir().mkpath(dataDir));
}

void MainWindowTest::cleanup() {
    // Let scheduled quits run out, so that the next test starts with a quiet event loop.
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

void MainWindowTest::windowAsBuilt() {
    MainWindow w(nullptr, deadServer);
    QCOMPARE(w.windowTitle(), QStringLiteral("Обновление Quorvex"));
    QCOMPARE(w.minimumSize(), QSize(550, 90));
    QCOMPARE(w.maximumSize(), QSize(550, 90));
    QCOMPARE(w.objectName(), QStringLiteral("MainWindow"));

    auto* bar = w.findChild<QProgressBar*>(QStringLiteral("progressBar"));
    auto* button = w.findChild<QPushButton*>(QStringLiteral("cancelButton"));
    auto* label = w.findChild<QLabel*>(QStringLiteral("statusLabel"));
    QVERIFY(bar && button && label);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->styleSheet(),
             QStringLiteral("QProgressBar {    border: 2px solid grey;    border-radius: 5px;    "
                            "text-align: center;    height: 30px;}QProgressBar::chunk {    "
                            "background-color: #05B8CC;    width: 10px;    margin: 1px;}"));
    QCOMPARE(button->text(), QStringLiteral("Отмена"));
    // The workflow has only sent its first request; nothing has answered yet.
    QCOMPARE(label->text(), QStringLiteral("Обновление Quorvex..."));

    // Bar and button side by side, the status line below them.
    QWidget* central = w.centralWidget();
    QVERIFY(central && central->objectName() != QStringLiteral("centralwidget"));
    auto* column = qobject_cast<QVBoxLayout*>(central->layout());
    QVERIFY(column);
    QCOMPARE(column->count(), 2);
    auto* row = qobject_cast<QHBoxLayout*>(column->itemAt(0)->layout());
    QVERIFY(row);
    QCOMPARE(row->itemAt(0)->widget(), bar);
    QCOMPARE(row->itemAt(1)->widget(), button);
    QCOMPARE(column->itemAt(1)->widget(), label);

    QVERIFY(w.menuBar());
    QCOMPARE(w.menuBar()->objectName(), QStringLiteral("menubar"));
    QVERIFY(w.menuBar()->actions().isEmpty());
    QCOMPARE(w.statusBar()->objectName(), QStringLiteral("statusbar"));
    QVERIFY(w.statusBar()->currentMessage().isEmpty());
}

void MainWindowTest::progress_data() {
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("bar");      // -1: unchanged
    QTest::addColumn<QString>("text"); // empty: unchanged
    QTest::newRow("partial") << qint64(1536) << qint64(10240) << 15
                             << "Загрузка обновления (1 из 10 КБ)...";
    QTest::newRow("done") << qint64(10240) << qint64(10240) << 100
                          << "Загрузка обновления (10 из 10 КБ)...";
    QTest::newRow("below one KB") << qint64(0) << qint64(1023) << 0
                                  << "Загрузка обновления (0 из 0 КБ)...";
    QTest::newRow("beyond 32 bits")
        << qint64(3) * 1024 * 1024 * 1024 << qint64(6) * 1024 * 1024 * 1024 << 50
        << "Загрузка обновления (3145728 из 6291456 КБ)...";
    QTest::newRow("unknown total") << qint64(5000) << qint64(-1) << -1 << "";
    QTest::newRow("zero total") << qint64(5000) << qint64(0) << -1 << "";
}

void MainWindowTest::progress() {
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(int, bar);
    QFETCH(QString, text);
    MainWindow w(nullptr, deadServer);
    QMetaObject::invokeMethod(&w, "updateLoadBar", Q_ARG(int, 7));
    const QString before = labelText(w);
    QVERIFY(QMetaObject::invokeMethod(&w, "onUpdateProgress", Q_ARG(qint64, received),
                                      Q_ARG(qint64, total)));
    QCOMPARE(barValue(w), bar < 0 ? 7 : bar);
    QCOMPARE(labelText(w), text.isEmpty() ? before : text);
}

void MainWindowTest::recordBytes_data() {
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("sorted keys, four spaces, LF")
        << QByteArray(R"({"version":"1.2","full":true,"extract_to":"/app","binary_name":"/q",)"
                      R"("download_url":"http://h/q.7z"})")
        << QByteArray("{\n    \"binary_name\": \"/q\",\n    \"download_url\": \"http://h/q.7z\",\n"
                      "    \"extract_to\": \"/app\",\n    \"full\": true,\n"
                      "    \"version\": \"1.2\"\n}\n");
    QTest::newRow("unknown keys kept, nested, UTF-8")
        << QByteArray(R"({"notes":{"ru":"Обновление","n":[1,2]},"version":"2"})")
        << QByteArray("{\n    \"notes\": {\n        \"n\": [\n            1,\n            2\n"
                      "        ],\n        \"ru\": \"Обновление\"\n    },\n"
                      "    \"version\": \"2\"\n}\n");
    QTest::newRow("nulls written as null")
        << QByteArray(R"({"version":null,"extract_to":null})")
        << QByteArray("{\n    \"extract_to\": null,\n    \"version\": null\n}\n");
}

void MainWindowTest::recordBytes() {
    QFETCH(QByteArray, entry);
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("latestVersion.json"));
    {
        QFile stale(path);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write(QByteArray(4096, 'x')); // a longer earlier record is fully replaced
    }
    MainWindow w(nullptr, deadServer);
    w.saveVersionRecord(QJsonDocument::fromJson(entry).object(), path);
    QCOMPARE(readAll(path), bytes);
}

void MainWindowTest::startProcessOutcomes_data() {
    QTest::addColumn<QString>("kind"); // program, directory, missing
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("quits");
    QTest::newRow("program") << "program"
                             << "Приложение запущено" << true;
    QTest::newRow("directory") << "directory"
                               << "Ошибка при запуске исполняемого файла." << false;
    QTest::newRow("missing") << "missing"
                             << "Исполняемый файл не найден! Напишите в техподдержку." << false;
}

void MainWindowTest::startProcessOutcomes() {
    QFETCH(QString, kind);
    QFETCH(QString, label);
    QFETCH(bool, quits);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Quorvex App/quorvex"));
    if (kind == QLatin1String("program")) {
        installMarkerProgram(path);
    } else if (kind == QLatin1String("directory")) {
        QVERIFY(QDir().mkpath(path));
    }
    MainWindow w(nullptr, deadServer);
    QSignalSpy quit(qApp, &QCoreApplication::aboutToQuit);
    if (kind == QLatin1String("directory")) {
        QTest::ignoreMessage(QtWarningMsg, "Ошибка при запуске процесса");
    }
    QVERIFY(QMetaObject::invokeMethod(&w, "startProcess", Q_ARG(QString, path)));
    QCOMPARE(labelText(w), label);
    // The quit is scheduled on the event loop; run one and see whether it ends at once.
    QTimer::singleShot(2000, qApp, [] { QCoreApplication::exit(42); });
    const int result = QCoreApplication::exec();
    QCOMPARE(result == 0, quits);
    if (kind == QLatin1String("program")) {
        QTRY_VERIFY(QFile::exists(path + QStringLiteral(".marker")));
    }
}

void MainWindowTest::startProcessWritesRecordOnlyForAnEntry() {
    // Construction reads this record, so the window holds an entry and a launch rewrites it
    // in the indented form, keeping every key.
    const QString recordPath = dataDir + QStringLiteral("/latestVersion.json");
    {
        QFile f(recordPath);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(R"({"zeta":[1],"version":"1"})");
    }
    QTemporaryDir dir;
    const QString program = dir.filePath(QStringLiteral("quorvex"));
    installMarkerProgram(program);
    MainWindow w(nullptr, deadServer);
    QVERIFY(QMetaObject::invokeMethod(&w, "startProcess", Q_ARG(QString, program)));
    QCOMPARE(readAll(recordPath),
             QByteArray("{\n    \"version\": \"1\",\n    \"zeta\": [\n        1\n    ]\n}\n"));
}

void MainWindowTest::constructionHandOffKeepsTheRecord() {
    const QString recordPath = dataDir + QStringLiteral("/latestVersion.json");
    const QByteArray stored = "{\n    \"extract_to\": \"/app\",\n    \"version\": \"7\"\n}\n";
    {
        QFile f(recordPath);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(stored);
    }
    const QString updateProgram = dataDir + QStringLiteral("/bin/qv_update.exe");
    installMarkerProgram(updateProgram);
    {
        MainWindow w(nullptr, deadServer);
        QTRY_VERIFY(QFile::exists(updateProgram + QStringLiteral(".marker")));
        // The entry was empty when the update program started: the record is untouched.
        QCOMPARE(readAll(recordPath), stored);
    }
    QFile::remove(recordPath);
    {
        // Without a record, the message of the start made before the status line existed
        // is what the status line shows first.
        MainWindow w(nullptr, deadServer);
        QCOMPARE(labelText(w), QStringLiteral("Приложение запущено"));
        QVERIFY(!QFile::exists(recordPath));
    }
    QFile::remove(updateProgram);
}

void MainWindowTest::cancel() {
    // With a record the window first fetches the hash list: Cancel has nothing to abort.
    {
        QFile f(dataDir + QStringLiteral("/latestVersion.json"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("{}");
    }
    {
        MainWindow w(nullptr, deadServer);
        QMetaObject::invokeMethod(&w, "updateLoadBar", Q_ARG(int, 40));
        w.findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
        QCOMPARE(labelText(w), QStringLiteral("Начинаю загрузку хеш таблицы"));
        QCOMPARE(barValue(w), 40);
    }
    QFile::remove(dataDir + QStringLiteral("/latestVersion.json"));
    // Without one, the version list is requested and Cancel aborts it.
    {
        MainWindow w(nullptr, deadServer);
        QMetaObject::invokeMethod(&w, "updateLoadBar", Q_ARG(int, 40));
        QTest::ignoreMessage(QtWarningMsg, "Неверный формат JSON");
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("Ошибка загрузки списка версий")));
        w.findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
        QCOMPARE(labelText(w), QStringLiteral("Загрузка отменена"));
        QCOMPARE(barValue(w), 0);
    }
}

int main(int argc, char** argv) {
    // A private data directory, set before anything asks for it.
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.path().toLocal8Bit());
    QApplication app(argc, argv);
    MainWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
