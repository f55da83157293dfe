#pragma once

#include <QObject>
#include <QString>
#include <QUrl>
#include <QVector>
#include <memory>

// Fetches a set of files from a content store, where each is kept as one zlib stream (RFC 1950)
// of its bytes. Each object is downloaded with a Downloader (the stall limit, a size cap of its
// packed size, a time limit of a document's plus a second per 4 KiB, Cancel), a few at a time over
// shared connections, then unpacked into its target while its SHA-256 is computed, off the event
// loop. A target is written only whole, under its own name once its size and digest are right; a
// file that fails leaves no target behind. An item may name a binary delta (delta.h) onto a
// base it already has: the delta is fetched and applied instead, and should anything about it
// fail (missing, damaged, too large, a base that changed), the whole object is fetched after all.
// One object serves one set; it reports the end with exactly one finished().
class StoreFetcher : public QObject {
    Q_OBJECT
public:
    struct Item {
        QUrl url;          // the compressed object
        qint64 packed = 0; // its byte size
        qint64 size = 0;   // the unpacked file's byte size
        QString sha256;    // the unpacked file's lowercase SHA-256
        QString target;    // where the unpacked file goes (its folder exists)
        // A delta to try first (none when deltaUrl is empty), made onto the file at base.
        QUrl deltaUrl;
        qint64 deltaPacked = 0;
        QString base;
        qint64 baseSize = 0;
    };

    explicit StoreFetcher(QObject* parent = nullptr);
    ~StoreFetcher() override;

    // Transfers at once (at least one).
    void setConcurrency(int transfers);
    // Starts fetching items; the compressed objects pass through workDir, and are removed there
    // once unpacked. An empty set finishes at once, successfully, through the event loop.
    void start(const QVector<Item>& items, const QString& workDir);
    // Stops every transfer; finished(false) follows.
    void cancel();
    // Why the set failed (for the diagnostics): the file's URL and the reason.
    QString errorString() const;

signals:
    // Packed bytes received of all items, and the packed total.
    void progress(qint64 received, qint64 total);
    void finished(bool success);

private:
    struct Object;
    struct Run;
    void launch();
    void downloaded(int object, bool ok);
    void unpacked(int object, const QString& problem);
    bool wholeInstead(int object, const QString& why);
    void fail(const QString& why);
    void stopTransfers();

    std::unique_ptr<Run> run;
    int transfers = 4;
};
