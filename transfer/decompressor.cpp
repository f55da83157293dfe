#include "decompressor.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QRegularExpression>
#include <limits>
#include <memory>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {
// The extraction ends with the updater: an extractor left running after the updater was
// killed would keep writing into a directory that the next run wipes and refills.
class ExtractorProcess : public QProcess {
public:
    using QProcess::QProcess;

protected:
#ifdef Q_OS_LINUX
    void setupChildProcess() override {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
    }
#endif
};

#ifdef Q_OS_WIN
// Windows has no parent-death signal: the extractor joins a job object that only this process
// holds, and the system ends every process of the job when it closes that handle, which it does
// when this process ends, however it ends.
void endWithThisProcess(HANDLE child) {
    static const HANDLE job = [] {
        const HANDLE handle = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (handle && !SetInformationJobObject(handle, JobObjectExtendedLimitInformation, &limits,
                                               sizeof(limits))) {
            CloseHandle(handle);
            return HANDLE(nullptr);
        }
        return handle;
    }();
    if (!job || !AssignProcessToJobObject(job, child)) {
        qDebug() << "Процесс распаковки не привязан к программе обновления:" << GetLastError();
    }
}
#endif
} // namespace

Decompressor::Decompressor(QObject* parent)
    : QObject(parent)
    , process(nullptr) {}

Decompressor::~Decompressor() {
    if (process) {
        // The receivers of this object's reports may already be half destroyed (the window
        // deletes its children from its own destructor), so an extraction that ends during
        // the wait below is not reported.
        process->disconnect(this);
        process->waitForFinished(FinishTimeoutMs);
        delete process;
        process = nullptr;
    }
}

namespace {
QString& extractorOverride() {
    static QString path;
    return path;
}
} // namespace

void Decompressor::setExtractorPathOverride(const QString& path) {
    extractorOverride() = path;
}

QString Decompressor::extractorPath() {
    if (!extractorOverride().isEmpty()) {
        return extractorOverride();
    }
    return QDir(QCoreApplication::applicationDirPath())
        .absoluteFilePath(QStringLiteral("7Z/7z.exe"));
}

namespace {
// Reads a 7-Zip listing ("l -slt") as it arrives: after the line "----------", one block of
// "Name = value" lines per entry, the blocks separated by empty lines. A field given twice
// counts by its last value: an entry's "Path" comes first, so a name holding line breaks
// cannot stand in for the entry's own fields.
class ListingReader {
public:
    void add(const QByteArray& data) {
        pending += data;
        int start = 0;
        for (int end; (end = pending.indexOf('\n', start)) >= 0; start = end + 1) {
            line(pending.mid(start, end - start).trimmed());
        }
        pending.remove(0, start);
    }
    qint64 total() {
        line(pending.trimmed());
        line(QByteArray());
        pending.clear();
        return sum;
    }

private:
    void line(const QByteArray& text) {
        if (!entries) {
            entries = text.startsWith("----------");
        } else if (text.isEmpty()) {
            if (!folder) {
                sum = size > max - sum ? max : sum + size;
            }
            size = 0;
            folder = false;
        } else if (text.startsWith("Size = ")) {
            // A size past any disk cannot be unpacked here either.
            bool ok = false;
            size = qMax<qint64>(0, text.mid(7).toLongLong(&ok));
            size = ok ? size : max;
        } else if (text.startsWith("Folder = ")) {
            folder = text.mid(9) == "+";
        } else if (text.startsWith("Attributes = ")) {
            folder = text.mid(13).split(' ').first().contains('D');
        }
    }

    static constexpr qint64 max = std::numeric_limits<qint64>::max();
    QByteArray pending;
    bool entries = false;
    bool folder = false;
    qint64 size = 0;
    qint64 sum = 0;
};
} // namespace

qint64 Decompressor::unpackedSize(const QByteArray& listing) {
    ListingReader reader;
    reader.add(listing);
    return reader.total();
}

void Decompressor::createProcess(const QStringList& arguments) {
    process = new ExtractorProcess(this);
    process->setProgram(extractorPath());
    process->setArguments(arguments);
}

bool Decompressor::launch() {
#ifdef Q_OS_WIN
    // The extractor is created suspended and runs only once it is tied to this process: a kill
    // of the updater between the two would leave it writing on, unseen.
    PROCESS_INFORMATION* created = nullptr;
    process->setCreateProcessArgumentsModifier(
        [&created](QProcess::CreateProcessArguments* arguments) {
            arguments->flags |= CREATE_SUSPENDED;
            created = arguments->processInformation;
        });
#endif
    process->start(QIODevice::ReadWrite);
#ifdef Q_OS_WIN
    process->setCreateProcessArgumentsModifier({});
#endif
    if (!process->waitForStarted(StartTimeoutMs)) {
        qDebug() << "Ошибка запуска процесса:" << process->errorString();
        return false;
    }
#ifdef Q_OS_WIN
    if (created) {
        endWithThisProcess(created->hProcess);
        ResumeThread(created->hThread);
    }
#endif
    // Nobody answers 7-Zip's questions: should it ever ask one (a file that already exists, a
    // password), it reads the end of its input and stops with an error instead of waiting.
    process->closeWriteChannel();
    return true;
}

void Decompressor::list(const QString& archivePath) {
    createProcess(
        {QStringLiteral("l"), QStringLiteral("-slt"), QDir::toNativeSeparators(archivePath)});
    auto reader = std::make_shared<ListingReader>();
    connect(process, &QProcess::readyReadStandardOutput, this,
            [this, reader] { reader->add(process->readAllStandardOutput()); });
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this, reader](int exitCode, QProcess::ExitStatus exitStatus) {
                reader->add(process->readAllStandardOutput());
                if (exitCode != 0 || exitStatus != QProcess::NormalExit) {
                    emit listed(false, 0, QStringLiteral("Ошибка при распаковке архива"));
                } else {
                    emit listed(true, reader->total(), QString());
                }
            });
    if (!launch()) {
        process->disconnect(this); // a start that comes after all is not reported
        emit listed(false, 0, QStringLiteral("Ошибка запуска процесса: ") + process->errorString());
    }
}

void Decompressor::extract(const QString& archivePath, const QString& targetDir) {
    // "-bsp1": the progress in percent on standard output, read as it comes.
    // Paths in the system's own spelling ("\\" on Windows).
    createProcess({QStringLiteral("x"), QDir::toNativeSeparators(archivePath),
                   QStringLiteral("-o") + QDir::toNativeSeparators(targetDir),
                   QStringLiteral("-bsp1")});
    connect(process, &QProcess::readyReadStandardOutput, this, [this] {
        static const QRegularExpression percent(QStringLiteral("(\\d+)%"));
        auto match = percent.globalMatch(QString::fromLatin1(process->readAllStandardOutput()));
        int last = -1;
        while (match.hasNext()) {
            last = match.next().captured(1).toInt();
        }
        if (last >= 0 && last <= 100) {
            emit decompressionProgress(last, 100);
        }
    });
    // Connected by signature text on purpose, as it always has been: the slots are part of the
    // class's interface under these names and types.
    connect(process, SIGNAL(finished(int, QProcess::ExitStatus)), this,
            SLOT(onProcessFinished(int, QProcess::ExitStatus)));
    connect(process, SIGNAL(errorOccurred(QProcess::ProcessError)), this,
            SLOT(onProcessError(QProcess::ProcessError)));
    if (!launch()) {
        emit decompressionFinished(false, QStringLiteral("Ошибка запуска процесса: ") +
                                              process->errorString());
    }
}

void Decompressor::onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus) {
    if (exitCode != 0 || exitStatus != QProcess::NormalExit) {
        emit decompressionFinished(false, QStringLiteral("Ошибка при распаковке архива"));
    } else {
        emit decompressionFinished(true, QString());
    }
}

void Decompressor::onProcessError(QProcess::ProcessError) {
    emit decompressionFinished(false, QStringLiteral("Ошибка процесса: ") + process->errorString());
}
