#pragma once

#include <QObject>
#include <QProcess>
#include <QString>

// Unpacks one archive into a directory with the 7-Zip console program that ships beside the
// updater ("7Z/7z.exe" under the program directory). The outcome arrives as
// decompressionFinished; a failed start or a crash reports twice, the last report is final.
// An object lists (list) or unpacks (extract) one archive.
class Decompressor : public QObject {
    Q_OBJECT
public:
    explicit Decompressor(QObject* parent = nullptr);
    ~Decompressor() override;

    void extract(const QString& archivePath, const QString& targetDir);
    // Lists the archive ("l -slt") without writing anything: the extractor starts and the
    // archive opens. The outcome arrives once, as listed, with the files' total size.
    void list(const QString& archivePath);
    // The total size of the files (not the folders) in a 7-Zip listing ("l -slt").
    static qint64 unpackedSize(const QByteArray& listing);

    // Absolute path of the 7-Zip program this updater runs.
    static QString extractorPath();
    // Runs another extractor program instead (tests); an empty path restores the default.
    static void setExtractorPathOverride(const QString& path);

    static constexpr int StartTimeoutMs = 30000;
    static constexpr int FinishTimeoutMs = 30000;

signals:
    void decompressionFinished(bool success, QString errorMessage);
    // How far the extraction is, as done of total (7-Zip reports percent: total is 100).
    void decompressionProgress(int done, int total);
    // On failure, unpackedSize is 0 and errorMessage says why, as decompressionFinished would.
    void listed(bool success, qint64 unpackedSize, QString errorMessage);

private slots:
    void onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onProcessError(QProcess::ProcessError error);

private:
    // The extractor's process with its arguments; launch starts it (false when it did not).
    void createProcess(const QStringList& arguments);
    bool launch();

    QProcess* process;
};
