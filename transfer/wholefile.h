#pragma once

#include <QFile>
#include <QString>

// A file written whole, then put in place of its target at once. Unlike QSaveFile (whose commit
// in Qt 5.15 can report success after its last flush failed on a full disk, leaving a truncated
// file in place), commit() replaces nothing until the bytes are proven on disk: every write is
// checked as it is made (the file is unbuffered), the file is synced, and its size on disk must
// equal what was written. The temporary file sits beside the target ("<name>.XXXXXX") and is
// removed on any failure. A target that is a symbolic link is replaced by the file, never written
// through. Errors name the path and the system's reason.
class WholeFile {
public:
    explicit WholeFile(const QString& path);
    ~WholeFile(); // removes the temporary file unless committed
    WholeFile(const WholeFile&) = delete;
    WholeFile& operator=(const WholeFile&) = delete;

    bool open();
    bool write(const char* data, qint64 size);
    bool write(const QByteArray& bytes) { return write(bytes.constData(), bytes.size()); }
    // sync: also flush the file to the device before the replacement (a file that can be made
    // again, such as a scratch copy, may skip it). False leaves the target as it was.
    bool commit(bool sync = true);
    void cancel();

    qint64 written() const { return count; }
    QString fileName() const { return target; }
    QString errorString() const { return problem; }

    // Writes bytes as path whole; false with *error set, the previous file untouched.
    static bool writeAll(const QString& path, const QByteArray& bytes, QString* error);
    // Copies the file at from to to, written whole as above.
    static bool copy(const QString& from, const QString& to, QString* error);

private:
    bool fail(const QString& why);

    QString target;
    QFile file;
    qint64 count = 0;
    QString problem;
    bool committed = false;
};

// Renames from to to, replacing a file there (on Windows also through to the disk). False with
// the system's reason in *error.
bool replaceFile(const QString& from, const QString& to, QString* error);
