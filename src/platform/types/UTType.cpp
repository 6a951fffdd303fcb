#include "platform/types/UTType.h"

#include <QHash>
#include <array>
#include <vector>

namespace uti {
namespace {

struct Entry {
    const char* identifier;
    std::vector<const char*> parents;
    std::vector<const char*> extensions; // the first is the preferred one
};

// The identifiers this system meets, with the platform's names and hierarchy.
const std::vector<Entry>& table() {
    static const std::vector<Entry> entries = {
        {"public.item", {}, {}},
        {"public.data", {"public.item"}, {}},
        {"public.content", {}, {}},
        {"public.text", {"public.data", "public.content"}, {"txt"}},
        {"public.xml", {"public.text"}, {"xml"}},
        {"public.json", {"public.text"}, {"json"}},
        {"public.image", {"public.data", "public.content"}, {}},
        {"public.jpeg", {"public.image"}, {"jpeg", "jpg", "jpe"}},
        {"public.png", {"public.image"}, {"png"}},
        {"public.tiff", {"public.image"}, {"tiff", "tif"}},
        {"com.compuserve.gif", {"public.image"}, {"gif"}},
        {"public.heif-standard", {"public.image"}, {}},
        {"public.heif", {"public.heif-standard"}, {"heif", "hif"}},
        {"public.heic", {"public.heif-standard"}, {"heic"}},
        {"public.heics", {"public.heif-standard"}, {"heics"}},
        {"public.camera-raw-image", {"public.image"}, {}},
        {"com.adobe.raw-image", {"public.camera-raw-image"}, {"dng"}},
        {"com.canon.cr2-raw-image", {"public.camera-raw-image"}, {"cr2"}},
        {"com.canon.cr3-raw-image", {"public.camera-raw-image"}, {"cr3"}},
        {"com.canon.crw-raw-image", {"public.camera-raw-image"}, {"crw"}},
        {"com.nikon.raw-image", {"public.camera-raw-image"}, {"nef"}},
        {"com.nikon.nrw-raw-image", {"public.camera-raw-image"}, {"nrw"}},
        {"com.sony.arw-raw-image", {"public.camera-raw-image"}, {"arw"}},
        {"com.sony.raw-image", {"public.camera-raw-image"}, {"srf"}},
        {"com.sony.sr2-raw-image", {"public.camera-raw-image"}, {"sr2"}},
        {"com.fuji.raw-image", {"public.camera-raw-image"}, {"raf"}},
        {"com.olympus.raw-image", {"public.camera-raw-image"}, {"orf"}},
        {"com.olympus.or-raw-image", {"public.camera-raw-image"}, {"ori"}},
        {"com.panasonic.rw2-raw-image", {"public.camera-raw-image"}, {"rw2"}},
        {"com.panasonic.raw-image", {"public.camera-raw-image"}, {"raw"}},
        {"com.pentax.raw-image", {"public.camera-raw-image"}, {"pef"}},
        {"com.samsung.raw-image", {"public.camera-raw-image"}, {"srw"}},
        {"com.hasselblad.3fr-raw-image", {"public.camera-raw-image"}, {"3fr"}},
        {"com.hasselblad.fff-raw-image", {"public.camera-raw-image"}, {"fff"}},
        {"com.phaseone.raw-image", {"public.camera-raw-image"}, {"iiq"}},
        {"com.leafamerica.raw-image", {"public.camera-raw-image"}, {"mos"}},
        {"com.epson.raw-image", {"public.camera-raw-image"}, {"erf"}},
        {"com.konicaminolta.raw-image", {"public.camera-raw-image"}, {"mrw"}},
        {"com.sigma.raw-image", {"public.camera-raw-image"}, {"x3f"}},
        {"com.leica.rwl-raw-image", {"public.camera-raw-image"}, {"rwl"}},
        {"com.kodak.raw-image", {"public.camera-raw-image"}, {"dcr"}},
        {"com.kodak.kdc-raw-image", {"public.camera-raw-image"}, {"kdc"}},
        {"com.mamiya.raw-image", {"public.camera-raw-image"}, {"mef"}},
        {"com.adobe.xmp", {"public.xml"}, {"xmp"}},
        {"com.apple.photos.apple-adjustment-envelope", {"public.data"}, {"aae"}},
        {"public.audiovisual-content", {"public.data", "public.content"}, {}},
        {"public.movie", {"public.audiovisual-content"}, {}},
        {"public.mpeg-4", {"public.movie"}, {"mp4"}},
        {"com.apple.quicktime-movie", {"public.movie"}, {"mov", "qt"}},
    };
    return entries;
}

struct Index {
    QHash<QString, int> byIdentifier;
    QHash<QString, int> byExtension;
    std::vector<std::vector<int>> parents;
};

const Index& index() {
    static const Index idx = [] {
        Index i;
        const auto& t = table();
        for (int n = 0; n < int(t.size()); ++n)
            i.byIdentifier.insert(QString::fromLatin1(t[n].identifier), n);
        i.parents.resize(t.size());
        for (int n = 0; n < int(t.size()); ++n) {
            for (const char* p : t[n].parents)
                i.parents[n].push_back(i.byIdentifier.value(QString::fromLatin1(p)));
            for (const char* e : t[n].extensions)
                i.byExtension.insert(QString::fromLatin1(e), n);
        }
        return i;
    }();
    return idx;
}

bool conforms(int type, int target) {
    if (type == target)
        return true;
    for (int p : index().parents[type])
        if (conforms(p, target))
            return true;
    return false;
}

} // namespace

std::optional<UTType> UTType::fromIdentifier(const QString& identifier) {
    // A scan asks the same few identifiers, each held by one shared string, for every file:
    // the last ones each thread asked are kept with their answers. A kept copy shares its
    // string's data, which therefore cannot change: the same data is the same identifier.
    struct Asked {
        QString identifier;
        std::optional<UTType> type;
    };
    thread_local std::array<Asked, 4> asked;
    thread_local size_t next = 0;
    for (const Asked& a : asked)
        if (identifier.isSharedWith(a.identifier) &&
            identifier.constData() == a.identifier.constData() &&
            identifier.size() == a.identifier.size())
            return a.type;
    // Identifiers compare case-insensitively on the platform; most arrive in lower case
    // already, so try them as they are before folding.
    auto it = index().byIdentifier.constFind(identifier);
    if (it == index().byIdentifier.cend())
        it = index().byIdentifier.constFind(identifier.toLower());
    const std::optional<UTType> type = it != index().byIdentifier.cend()
                                           ? std::optional<UTType>(UTType(it.value()))
                                           : std::nullopt;
    asked[next] = {identifier, type};
    next = (next + 1) % asked.size();
    return type;
}

std::optional<UTType> UTType::fromFilenameExtension(const QString& extension) {
    QString ext = extension.toLower();
    if (ext.startsWith(QLatin1Char('.')))
        ext.remove(0, 1);
    auto it = index().byExtension.constFind(ext);
    if (it == index().byExtension.cend())
        return std::nullopt;
    return UTType(it.value());
}

UTType UTType::item() {
    return *fromIdentifier(QStringLiteral("public.item"));
}
UTType UTType::data() {
    return *fromIdentifier(QStringLiteral("public.data"));
}
UTType UTType::image() {
    return *fromIdentifier(QStringLiteral("public.image"));
}
UTType UTType::jpeg() {
    return *fromIdentifier(QStringLiteral("public.jpeg"));
}
UTType UTType::heif() {
    return *fromIdentifier(QStringLiteral("public.heif"));
}
UTType UTType::heic() {
    return *fromIdentifier(QStringLiteral("public.heic"));
}
UTType UTType::rawImage() {
    return *fromIdentifier(QStringLiteral("public.camera-raw-image"));
}

QString UTType::identifier() const {
    return QString::fromLatin1(table()[m_index].identifier);
}

QString UTType::preferredFilenameExtension() const {
    const auto& exts = table()[m_index].extensions;
    return exts.empty() ? QString() : QString::fromLatin1(exts.front());
}

QStringList UTType::filenameExtensions() const {
    QStringList out;
    for (const char* e : table()[m_index].extensions)
        out << QString::fromLatin1(e);
    return out;
}

QStringList UTType::parentIdentifiers() const {
    QStringList out;
    for (const char* p : table()[m_index].parents)
        out << QString::fromLatin1(p);
    return out;
}

bool UTType::conformsTo(const UTType& other) const {
    return conforms(m_index, other.m_index);
}

static bool identifierConforms(const QString& identifier, const UTType& target) {
    auto type = UTType::fromIdentifier(identifier);
    return type && type->conformsTo(target);
}

// The types asked of every file of a scan are looked up once.
bool conformsToRaw(const QString& identifier) {
    static const UTType raw = UTType::rawImage();
    return identifierConforms(identifier, raw);
}
bool conformsToJpeg(const QString& identifier) {
    static const UTType jpeg = UTType::jpeg();
    return identifierConforms(identifier, jpeg);
}
bool conformsToHeif(const QString& identifier) {
    return identifierConforms(identifier,
                              *UTType::fromIdentifier(QStringLiteral("public.heif-standard")));
}

} // namespace uti
