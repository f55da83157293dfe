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
#include <QVBoxLayout>

#include "downloader.h"
#include "mainwindowform.h"
#include "paths.h"
#include "sha256.h"
#include "signature.h"

namespace {
const char* const progressBarStyle =
    "QProgressBar {    border: 2px solid grey;    border-radius: 5px;    text-align: center;  "
    "  height: 30px;}QProgressBar::chunk {    background-color: #05B8CC;    width: 10px;    "
    "margin: 1px;}";
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
    // A separate update program takes over when it is installed.
    const QString updateProgram = paths::dataDir() + paths::separateUpdateProgram();
    if (QFileInfo::exists(updateProgram)) {
        startProcess(updateProgram);
        QCoreApplication::quit();
    }

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

    checkForInstalledApplication();
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

QString MainWindow::ensureDirectory(const QString& path) {
    if (!QDir(path).exists() && !QDir().mkpath(path)) {
        qDebug() << "Ошибка при создании папки:" << path;
    }
    return path;
}

void MainWindow::onUpdateProgress(qint64 bytesReceived, qint64 bytesTotal) {
    // A reply aborted from its own readyRead (the version list past its cap) still reports the
    // progress of that data afterwards, which would replace the final status.
    const auto* reply = qobject_cast<const QNetworkReply*>(sender());
    if (bytesTotal <= 0 || (reply && reply->isFinished())) {
        return;
    }
    progressBar->setValue(static_cast<int>(bytesReceived * 100 / bytesTotal));
    setStatus(QStringLiteral("Загрузка обновления (%1 из %2 КБ)...")
                  .arg(bytesReceived / 1024)
                  .arg(bytesTotal / 1024));
}

void MainWindow::onCancelButtonClicked() {
    // Cancel stops the transfer under way: the version list (a guarded pointer: a released
    // reply reads as null), or the hash list or the archive. Nothing else is undone.
    if (versionReply && versionReply->isRunning()) {
        cancelled = true;
        versionReply->abort();
    } else if (downloader && downloader->isRunning()) {
        cancelled = true;
        downloader->cancelDownload();
    } else {
        return;
    }
    progressBar->setValue(0);
    setStatus(QStringLiteral("Загрузка отменена"));
}

bool MainWindow::hashFileLive(const QString& path, QString* digest, qint64* processed,
                              qint64 total) {
    return Sha256::hashFile(path, digest, [&](qint64 block) {
        *processed += block;
        // Sizes were taken before hashing: a file that grew since must not push the bar past
        // its end (or divide by a total of zero).
        if (total > 0) {
            progressBar->setValue(static_cast<int>(qMin<qint64>(*processed * 100 / total, 100)));
        }
        // Pending events run every few milliseconds, not after every block: often enough for a
        // live window, rarely enough to cost nothing next to the hashing.
        if (!sinceEvents.isValid() || sinceEvents.elapsed() >= 15) {
            sinceEvents.start();
            QCoreApplication::processEvents();
        }
    });
}

bool MainWindow::removeVersionRecord() {
    const QString recordPath = paths::dataDir() + paths::recordFileName();
    if (QFileInfo::exists(recordPath) && !QFile::remove(recordPath)) {
        qWarning() << "Не удалось удалить файл:" << recordPath;
        return false;
    }
    return true;
}

void MainWindow::updateLoadBar(int progress) {
    progressBar->setValue(progress);
}

void MainWindow::installDownloadedFile(QString filePath) {
    qDebug() << "Установка загруженного файла из" << filePath;
    setStatus(QStringLiteral("Установка завершена"));
    progressBar->setValue(100);
}
