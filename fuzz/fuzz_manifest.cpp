// The manifest reader on arbitrary bytes, then the plan made from it against an installed tree
// derived from the same bytes. An accepted path must stay inside the installation directory and
// its content must come from an http or https address, its deltas from the same store; the plan
// must account for every file and take a delta only onto a file installed with its base.

#include "documents.h"
#include "fuzzcheck.h"
#include "manifest.h"

#include <QDir>
#include <QSet>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray text = fuzzcheck::bytes(data, size);
    const std::optional<documents::Manifest> manifest = documents::parseManifest(text);
    if (!manifest) {
        return 0;
    }
    const QString root = QStringLiteral("/home/u/.local/share/qv_updater/app");
    const QUrl manifestUrl(QStringLiteral("https://h.example/releases/1.json"));
    QHash<QString, QString> installed;
    QSet<QString> listed;
    int index = 0;
    for (const documents::ManifestFile& file : manifest->files) {
        const QString cleaned = QDir::cleanPath(root + QLatin1Char('/') + file.path);
        FUZZ_CHECK(cleaned.startsWith(root + QLatin1Char('/')));
        FUZZ_CHECK(cleaned.size() > root.size() + 1);
        const QString scheme = documents::storedFileUrl(manifestUrl, *manifest, file).scheme();
        FUZZ_CHECK(scheme == QLatin1String("http") || scheme == QLatin1String("https"));
        FUZZ_CHECK(file.size >= 0 && file.packed > 0);
        FUZZ_CHECK(file.deltas.size() <= documents::MaxDeltas);
        for (const documents::ManifestDelta& delta : file.deltas) {
            const QUrl url = documents::storedDeltaUrl(manifestUrl, *manifest, file, delta);
            FUZZ_CHECK(url.scheme() == QLatin1String("http") ||
                       url.scheme() == QLatin1String("https"));
            FUZZ_CHECK(delta.from != file.sha256 && delta.packed > 0 &&
                       delta.fromSize <= documents::MaxDeltaFileSize);
        }
        listed.insert(file.path.toLower());
        // Every third file installed as listed, every third with other bytes (a delta's base
        // when it lists one), the rest missing.
        if (index % 3 == 0) {
            installed.insert(file.path, file.sha256);
        } else if (index % 3 == 1) {
            installed.insert(file.path, file.deltas.isEmpty() ? QString(64, QLatin1Char('0'))
                                                              : file.deltas.first().from);
        }
        ++index;
    }
    installed.insert(QStringLiteral("left/over.dll"), QString());
    for (const bool removeExtra : {true, false}) {
        const documents::UpdatePlan plan =
            documents::planUpdate(*manifest, installed, qint64(size) * 1000, removeExtra);
        FUZZ_CHECK(plan.keep.size() + plan.fetch.size() == manifest->files.size());
        FUZZ_CHECK(!plan.fetch.isEmpty() || !plan.useArchive);
        for (const documents::ManifestFile& file : plan.fetch) {
            const auto base = plan.bases.constFind(file.sha256);
            FUZZ_CHECK(base == plan.bases.constEnd() ||
                       (installed.value(base->path) == base->delta.from &&
                        base->delta.packed < file.packed));
        }
        for (const QString& path : plan.remove) {
            FUZZ_CHECK(removeExtra && !listed.contains(path.toLower()));
        }
    }
    return 0;
}
