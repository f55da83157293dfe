#include "decompressor.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QRegularExpression>

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

void Decompressor::extract(const QString& archivePath, const QString& targetDir) {
    process = new ExtractorProcess(this);
    process->setProgram(extractorPath());
    // "-bsp1": the progress in percent on standard output, read as it comes.
    // Paths in the system's own spelling ("\\" on Windows).
    process->setArguments({QStringLiteral("x"), QDir::toNativeSeparators(archivePath),
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
    connect(process, SIGNAL(finished(int, QProcess::ExitStatus)), this,
            SLOT(onProcessFinished(int, QProcess::ExitStatus)));
    connect(process, SIGNAL(errorOccurred(QProcess::ProcessError)), this,
            SLOT(onProcessError(QProcess::ProcessError)));
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
        emit decompressionFinished(false, QStringLiteral("Ошибка запуска процесса: ") +
                                              process->errorString());
        return;
    }
#ifdef Q_OS_WIN
    if (created) {
        endWithThisProcess(created->hProcess);
        ResumeThread(created->hThread);
    }
#endif
    // Nobody answers 7-Zip's questions: should it ever ask one (a file that already exists),
    // it reads the end of its input and stops with an error instead of waiting forever.
    process->closeWriteChannel();
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
