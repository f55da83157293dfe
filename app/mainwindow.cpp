#include "mainwindow.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "buildconfig.h"
#include "downloader.h"
#include "mainwindowform.h"
#include "network.h"
#include "paths.h"
#include "signature.h"
#include "wholefile.h"

namespace {
const char* const progressBarStyle =
    "QProgressBar {    border: 2px solid grey;    border-radius: 5px;    text-align: center;  "
    "  height: 30px;}QProgressBar::chunk {    background-color: #05B8CC;    width: 10px;    "
    "margin: 1px;}";

// The settings fixed when the updater is built, handed down to the transfer floor before main()
// runs, so that a test program can still replace them.
[[maybe_unused]] const bool buildSettingsApplied = [] {
    Downloader::setDefaultTransferTimeout(QUORVEX_TRANSFER_TIMEOUT_MS);
    signature::setTrustedKeys(QStringLiteral(QUORVEX_PUBLIC_KEYS));
    return true;
}();
} // namespace

MainWindow::MainWindow(QWidget* parent)
    : MainWindow(parent, paths::defaultServerUrl()) {}

MainWindow::MainWindow(QWidget* parent, const QUrl& serverUrl)
    : QMainWindow(parent)
    , form(new MainWindowForm)
    , networkManager(new QNetworkAccessManager(this))
    , versionReply(nullptr)
    , serverUrl(serverUrl)
    , publicKeys(signature::trustedKeys()) {
    // Every transfer, the version list included, fails after this long without data.
    networkManager->setTransferTimeout(Downloader::defaultTransferTimeout());
    network::reportProblems(networkManager);
    // A separate update program takes over when it is installed.
    const QString updateProgram = paths::dataDir() + paths::separateUpdateProgram();
    // Once it has started, the run ends without reading the record or asking the server
    // anything; the window is still built, as the entry shows it until the quit.
    startedUpdateProgram = QFileInfo::exists(updateProgram) && startProcess(updateProgram);

    form->setupUi(this);
    setWindowTitle(QStringLiteral("Обновление Quorvex"));
    setFixedSize(550, 90);

    progressBar = new QProgressBar(this);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    cancelButton = new QPushButton(QStringLiteral("Отмена"), this);
    cancelButton->setObjectName(QStringLiteral("cancelButton"));
    statusLabel = new QLabel(QStringLiteral("Обновление Quorvex..."), this);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    if (!pendingStatus.isEmpty()) {
        statusLabel->setText(pendingStatus);
        pendingStatus.clear();
    }

    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setStyleSheet(QString::fromLatin1(progressBarStyle));

    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(progressBar);
    buttonRow->addWidget(cancelButton);
    auto* column = new QVBoxLayout;
    column->addLayout(buttonRow);
    column->addWidget(statusLabel);
    auto* central = new QWidget(this);
    central->setLayout(column);
    setCentralWidget(central);

    connect(networkManager, &QNetworkAccessManager::finished, this,
            &MainWindow::onDownloadFinished);
    connect(cancelButton, &QPushButton::clicked, this, &MainWindow::onCancelButtonClicked);
    // The bar follows the hashing done on the worker threads.
    hashProgress = new QTimer(this);
    hashProgress->setInterval(40);
    connect(hashProgress, &QTimer::timeout, this, [this] {
        if (hasher && hasher->total() > 0) {
            progressBar->setValue(
                static_cast<int>(qMin<qint64>(hasher->bytesDone() * 100 / hasher->total(), 100)));
        }
    });

    if (!startedUpdateProgram) {
        checkForInstalledApplication();
    }
}

MainWindow::~MainWindow() {
    delete form;
}

void MainWindow::setStatus(const QString& text) {
    if (statusLabel) {
        statusLabel->setText(text);
    } else {
        pendingStatus = text;
    }
}

void MainWindow::logFailure(const Downloader* transfer) {
    const QString reason = transfer ? transfer->errorString() : QString();
    if (!reason.isEmpty()) {
        qWarning().noquote() << (statusLabel ? statusLabel->text() : pendingStatus) << reason;
    }
}

QString MainWindow::ensureDirectory(const QString& path) {
    return paths::ensureDirectory(path);
}

void MainWindow::onUpdateProgress(qint64 bytesReceived, qint64 bytesTotal) {
    // A reply aborted from its own readyRead (the version list past its cap) still reports the
    // progress of that data afterwards, which would replace the final status.
    const auto* reply = qobject_cast<const QNetworkReply*>(sender());
    if (bytesTotal <= 0 || (reply && reply->isFinished())) {
        return;
    }
    // While files are hashed the bar shows the hashing (the hash list is small).
    if (!hashProgress->isActive()) {
        progressBar->setValue(static_cast<int>(bytesReceived * 100 / bytesTotal));
    }
    setStatus(QStringLiteral("Загрузка обновления (%1 из %2 КБ)...")
                  .arg(bytesReceived / 1024)
                  .arg(bytesTotal / 1024));
}

void MainWindow::onCancelButtonClicked() {
    // Cancel stops the transfer under way: the version list (a guarded pointer: a released
    // reply reads as null), or the hash list or the archive. Nothing else is undone.
    if (versionReply && versionReply->isRunning()) {
        run.cancelled = true;
        versionReply->abort();
    } else if (downloader && downloader->isRunning()) {
        run.cancelled = true;
        downloader->cancelDownload();
    } else if (perFile && perFile->cancel()) {
        run.cancelled = true;
    } else {
        return;
    }
    progressBar->setValue(0);
    setStatus(QStringLiteral("Загрузка отменена"));
}

void MainWindow::hashInBackground(const QStringList& paths,
                                  const std::function<void(const FileHasher&)>& done) {
    stopHashing();
    auto* files = new FileHasher(this);
    hasher = files;
    connect(files, &FileHasher::finished, this, [this, files, done] {
        hashProgress->stop();
        progressBar->setValue(100);
        hasher = nullptr;
        files->deleteLater();
        done(*files);
    });
    files->start(paths);
    progressBar->setValue(0);
    hashProgress->start();
}

void MainWindow::checkSignature(const QString& path, const QByteArray& bytes,
                                const std::function<void()>& accepted,
                                const std::function<void()>& refetch) {
    // The signature goes through the download folder like an archive and is removed once read;
    // Cancel stops it like any other transfer.
    downloader = new Downloader(this);
    const auto finished = [this, path, bytes, accepted, refetch](bool ok, const QString& file) {
        QByteArray text;
        if (ok) {
            QFile signatureFile(file);
            if (signatureFile.open(QIODevice::ReadOnly)) {
                text = signatureFile.readAll();
            }
            signatureFile.remove();
        }
        if (!ok && run.cancelled) {
            setStatus(QStringLiteral("Загрузка отменена"));
            return;
        }
        QList<QByteArray> keys;
        signature::parsePublicKeys(publicKeys, &keys);
        const signature::Verdict verdict = signature::verify(bytes, text, keys);
        if (verdict == signature::Verdict::Valid) {
            run.signatureRetried = false;
            accepted();
            return;
        }
        qWarning() << "Подпись не прошла проверку:" << path
                   << (verdict == signature::Verdict::Missing ? "подпись не получена"
                       : verdict == signature::Verdict::Malformed ? "подпись повреждена"
                                                                  : "подпись не совпадает");
        if (!run.signatureRetried) {
            run.signatureRetried = true;
            refetch();
            return;
        }
        setStatus(QStringLiteral("Подпись файла %1 не прошла проверку.").arg(path.mid(1)));
    };
    connect(downloader, &Downloader::downloadFinished, this, finished);
    const QString dir = ensureDirectory(paths::dataDir() + paths::updateSubdir());
    if (!downloader->startDownload(dir,
                                   paths::serverDocument(serverUrl, path + QStringLiteral(".sig")),
                                   signature::MaxSignatureSize, Downloader::documentTimeLimit())) {
        finished(false, QString());
    }
}

void MainWindow::stopHashing() {
    if (hasher) {
        hashProgress->stop();
        // The workers stop after their current block, without the window waiting for them.
        hasher->disconnect(this);
        hasher->deleteLater();
        hasher = nullptr;
    }
}

void MainWindow::updateLoadBar(int progress) {
    progressBar->setValue(progress);
}

void MainWindow::installDownloadedFile(QString filePath) {
    qDebug() << "Установка загруженного файла из" << filePath;
    setStatus(QStringLiteral("Установка завершена"));
    progressBar->setValue(100);
}
