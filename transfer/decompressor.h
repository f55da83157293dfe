#pragma once

#include <QObject>
#include <QProcess>
#include <QString>

// Unpacks one archive into a directory with the 7-Zip console program that ships beside the
// updater ("7Z/7z.exe" under the program directory). The outcome arrives as
// decompressionFinished; a failed start or a crash reports twice, the last report is final.
class Decompressor : public QObject {
    Q_OBJECT
public:
    explicit Decompressor(QObject* parent = nullptr);
    ~Decompressor() override;

    void extract(const QString& archivePath, const QString& targetDir);

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

private slots:
    void onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onProcessError(QProcess::ProcessError error);

private:
    QProcess* process;
};
