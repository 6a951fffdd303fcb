#include "PhotolibCli.h"

#include "AssetText.h"
#include "BuildInfo.h"
#include "DemoCommand.h"
#include "ExportCommand.h"
#include "Importer.h"
#include "UsageError.h"
#include "platform/imaging/PictureCheck.h"
#include "platform/photos/LibraryLocation.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/photos/PhotoLibraryAccess.h"
#include "platform/types/UTType.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QScopeGuard>
#include <QSet>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace photolib {

using namespace photos;

namespace {

const char* usageText = R"(usage: photolib [--library PATH] COMMAND [ARGS]

  create PATH                     make a new empty library
  use PATH                        make PATH the system library
  import [--album TITLE] DIR...   import camera folders (RAW+JPEG of one name become one item)
  list [--album TITLE] [--favorites] [--pairs] [--json | --count]
  show ID                         one item with its resources and albums
  albums                          every album with its item count
  album create TITLE | album add TITLE ID... | album remove TITLE ID...
  favorite [--off] ID...          mark (or unmark) items as favourites
  hide [--off] ID...              hide (or show) items
  trash list | trash restore ID... | trash empty
  access [CLIENT STATUS]          show grants, or set one (authorized, limited, denied, forget)
  check [--decode]                verify every stored file and catalogue row
                                  (--decode: also decode every stored JPEG and HEIC)
  export --album TITLE --format heic|jpeg [--max-size PX] [--quality Q] DIR
                                  write the album's pictures into DIR (made when missing)
  demo [--pairs N] PATH           make a new demonstration library of generated pictures
  help                            show this help

  --library PATH                  use this library instead of the system library
  --help                          show this help and exit
  --version                       show the version and exit

Exit status: 0 done, 1 failed (the reason is on standard error; check: the library is not
clean), 2 wrong command line.
)";

class Cli {
public:
    Cli(QStringList args, QTextStream& out, QTextStream& err)
        : m_args(std::move(args)), m_out(out), m_err(err) {}

    int run() {
        if (m_args.size() >= 2 && m_args[0] == QLatin1String("--library")) {
            m_libraryPath = m_args[1];
            m_args = m_args.mid(2);
        }
        if (m_args.isEmpty()) {
            m_err << usageText;
            return 2;
        }
        if (m_args[0] == QLatin1String("--help") || m_args[0] == QLatin1String("help")) {
            m_out << usageText;
            return 0;
        }
        if (m_args[0] == QLatin1String("--version")) {
            m_out << "photolib " << buildinfo::shortVersion << "\n";
            return 0;
        }
        const QString command = m_args.takeFirst();
        if (command == QLatin1String("__complete"))
            return complete();
        // Commands that only read never purge the trash on the way.
        static const QStringList readers = {
            QStringLiteral("list"),  QStringLiteral("show"),   QStringLiteral("albums"),
            QStringLiteral("check"), QStringLiteral("export"), QStringLiteral("access"),
        };
        m_readOnly = readers.contains(command) || (command == QLatin1String("trash") &&
                                                   m_args.value(0) == QLatin1String("list"));
        static const QMap<QString, int (Cli::*)()> commands = {
            {QStringLiteral("create"), &Cli::create},
            {QStringLiteral("use"), &Cli::use},
            {QStringLiteral("import"), &Cli::import},
            {QStringLiteral("list"), &Cli::list},
            {QStringLiteral("show"), &Cli::show},
            {QStringLiteral("albums"), &Cli::albums},
            {QStringLiteral("album"), &Cli::album},
            {QStringLiteral("favorite"), &Cli::favorite},
            {QStringLiteral("hide"), &Cli::hide},
            {QStringLiteral("trash"), &Cli::trash},
            {QStringLiteral("access"), &Cli::access},
            {QStringLiteral("check"), &Cli::check},
            {QStringLiteral("export"), &Cli::exportAlbum},
            {QStringLiteral("demo"), &Cli::demo},
        };
        auto it = commands.constFind(command);
        if (it == commands.cend())
            throw UsageError{QStringLiteral("unknown command “%1”").arg(command)};
        return (this->*it.value())();
    }

private:
    PhotoLibrary& library() {
        if (!m_library) {
            const QString path = m_libraryPath.isEmpty() ? systemLibraryPath() : m_libraryPath;
            LibraryOpenOptions options;
            options.createWhenMissing = m_libraryPath.isEmpty() && mayCreateSystemLibraryAt(path);
            options.purgeExpiredTrash = !m_readOnly;
            m_library = PhotoLibrary::open(path, options);
        }
        return *m_library;
    }

    QString takeOption(const QString& name) {
        const int i = m_args.indexOf(name);
        if (i < 0)
            return {};
        if (i + 1 >= m_args.size())
            throw UsageError{QStringLiteral("%1 needs a value").arg(name)};
        const QString value = m_args[i + 1];
        m_args.remove(i, 2);
        return value;
    }
    bool takeFlag(const QString& name) { return m_args.removeAll(name) > 0; }
    void needArguments(int min, const char* what) {
        if (m_args.size() < min)
            throw UsageError{QString::fromUtf8(what)};
        for (const QString& a : m_args)
            if (a.startsWith(QLatin1String("--")))
                throw UsageError{QStringLiteral("unknown option “%1”").arg(a)};
    }

    std::vector<AssetPtr> assetsNamed(const QStringList& ids) {
        std::vector<AssetPtr> found;
        for (const QString& id : ids) {
            auto a = library().fetchAssetsWithLocalIdentifiers({id});
            if (a.empty())
                throw PhotoLibraryError(PhotoLibraryError::Code::NotFound,
                                        QStringLiteral("No item “%1” in the library.").arg(id));
            found.push_back(a.front());
        }
        return found;
    }

    CollectionPtr albumTitled(const QString& title) {
        FetchOptions o;
        o.predicate = Predicate::titleEquals(title);
        auto found = library().fetchAssetCollections(CollectionType::Album,
                                                     CollectionSubtype::AlbumRegular, o);
        if (found.empty())
            throw PhotoLibraryError(PhotoLibraryError::Code::NotFound,
                                    QStringLiteral("No album titled “%1”.").arg(title));
        return found.front();
    }

    int create() {
        needArguments(1, "create needs the path of the new library");
        // A folder of pictures is a library as it is; making one there would bury it.
        if (QFileInfo(m_args[0]).isDir() && !QFileInfo::exists(m_args[0] + "/catalog.sqlite"))
            throw PhotoLibraryError(
                PhotoLibraryError::Code::InvalidRequest,
                QStringLiteral("“%1” is a folder already: “photolib use %1” makes it the library "
                               "with the pictures it holds.")
                    .arg(QDir(m_args[0]).absolutePath()));
        auto lib = PhotoLibrary::create(m_args[0]);
        m_out << "Created " << lib->path() << "\n";
        return 0;
    }

    int use() {
        needArguments(1, "use needs the path of a library");
        auto lib =
            PhotoLibrary::open(m_args[0], {.createWhenMissing = false, .purgeExpiredTrash = false});
        setChosenLibraryPath(lib->path());
        m_out << "The system library is now " << lib->path() << "\n";
        if (!qEnvironmentVariableIsEmpty("PHOTOLIB_LIBRARY"))
            m_err << "photolib: note: PHOTOLIB_LIBRARY is set and takes precedence\n";
        return 0;
    }

    int import() {
        const QString albumOption = takeOption(QStringLiteral("--album"));
        needArguments(1, "import needs at least one folder");
        for (const QString& dir : std::as_const(m_args))
            if (!QFileInfo(dir).isDir())
                throw PhotoLibraryError(PhotoLibraryError::Code::NotFound,
                                        QStringLiteral("“%1” is not a folder.").arg(dir));
        if (library().isFolderLibrary())
            throw PhotoLibraryError(
                PhotoLibraryError::Code::InvalidRequest,
                QStringLiteral("The library “%1” is a folder: copy the pictures into it (or "
                               "into a folder below it) instead of importing them.")
                    .arg(library().path()));
        if (const QString owner = library().isDigikamLibrary()     ? QStringLiteral("digiKam")
                                  : library().isDarktableLibrary() ? QStringLiteral("darktable")
                                  : library().isShotwellLibrary()  ? QStringLiteral("Shotwell")
                                                                   : QString();
            !owner.isEmpty())
            throw PhotoLibraryError(
                PhotoLibraryError::Code::InvalidRequest,
                QStringLiteral("The library “%1” is %2’s: import the pictures with %2 instead.")
                    .arg(library().path(), owner));
        int skipped = 0;
        const auto items = planImport(m_args, &skipped);
        const bool terminal = isatty(STDERR_FILENO);
        std::optional<QString> album;
        if (!albumOption.isEmpty())
            album = albumOption;
        // Imports into one library take turns, so that one sees what another has added and
        // nothing is imported twice.
        const int turn = ::open(QFile::encodeName(library().path()).constData(),
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const auto endTurn = qScopeGuard([turn] {
            if (turn >= 0)
                ::close(turn);
        });
        if (turn >= 0 && ::flock(turn, LOCK_EX | LOCK_NB) != 0) {
            if (terminal) {
                m_err << "Waiting for another import into this library…\n";
                m_err.flush();
            }
            while (::flock(turn, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
        const ImportSummary s = importItems(library(), items, album, [&](int done, int total) {
            if (terminal) {
                m_err << "\rImporting " << done << " of " << total << "…";
                m_err.flush();
            }
        });
        if (terminal && !items.empty())
            m_err << "\n";
        m_out << "Imported " << s.imported << " item" << (s.imported == 1 ? "" : "s");
        if (s.alreadyPresent > 0)
            m_out << ", " << s.alreadyPresent << " already in the library";
        if (skipped > 0)
            m_out << ", " << skipped << " file" << (skipped == 1 ? "" : "s") << " skipped";
        m_out << ".\n";
        return 0;
    }

    int list() {
        const QString albumTitle = takeOption(QStringLiteral("--album"));
        const bool favorites = takeFlag(QStringLiteral("--favorites"));
        const bool pairs = takeFlag(QStringLiteral("--pairs"));
        const bool json = takeFlag(QStringLiteral("--json"));
        const bool count = takeFlag(QStringLiteral("--count"));
        needArguments(0, "");
        if (json && count)
            throw UsageError{QStringLiteral("list takes --json or --count, not both")};
        std::vector<AssetPtr> assets;
        if (!albumTitle.isEmpty()) {
            assets = library().fetchAssetsInAssetCollection(albumTitled(albumTitle));
        } else {
            FetchOptions o;
            o.includeHiddenAssets = true;
            o.sortDescriptors = {{QStringLiteral("creationDate"), true}};
            assets = library().fetchAssets(MediaType::Image, o);
        }
        QJsonArray array;
        int listed = 0;
        for (const AssetPtr& a : assets) {
            if ((favorites && !a->isFavorite) || (pairs && !isRawJpegPair(*a)))
                continue;
            ++listed;
            if (count)
                continue;
            if (json)
                array.append(assetJson(library(), a));
            else
                m_out << assetLine(a) << "\n";
        }
        if (json)
            m_out << QJsonDocument(array).toJson(QJsonDocument::Indented);
        if (count)
            m_out << listed << "\n";
        return 0;
    }

    int show() {
        needArguments(1, "show needs an item identifier");
        const AssetPtr a = assetsNamed({m_args[0]}).front();
        m_out << QJsonDocument(assetJson(library(), a)).toJson(QJsonDocument::Indented);
        for (const ResourcePtr& r : a->resources)
            m_out << "stored: " << library().storedFilePath(r) << "\n";
        return 0;
    }

    int albums() {
        needArguments(0, "");
        for (const CollectionPtr& c :
             library().fetchAssetCollections(CollectionType::Album, CollectionSubtype::Any))
            m_out << c->localIdentifier << "  "
                  << QString::number(c->estimatedAssetCount).rightJustified(6) << "  "
                  << c->localizedTitle.value_or(QStringLiteral("(untitled)")) << "\n";
        return 0;
    }

    int album() {
        needArguments(2, "album needs create, add or remove and a title");
        const QString action = m_args.takeFirst();
        const QString title = m_args.takeFirst();
        if (action == QLatin1String("create")) {
            QString id;
            library().performChangesAndWait([&](ChangeRequests& c) {
                id = c.creationRequestForAssetCollection(title)
                         .placeholderForCreatedAssetCollection()
                         .localIdentifier;
            });
            m_out << id << "\n";
            return 0;
        }
        if (action != QLatin1String("add") && action != QLatin1String("remove"))
            throw UsageError{QStringLiteral("album needs create, add or remove")};
        needArguments(1, "album add/remove needs item identifiers");
        const CollectionPtr target = albumTitled(title);
        const auto assets = assetsNamed(m_args);
        if (action == QLatin1String("remove")) {
            QSet<QString> members;
            for (const AssetPtr& a : library().fetchAssetsInAssetCollection(target))
                members.insert(a->localIdentifier);
            for (const AssetPtr& a : assets)
                if (!members.contains(a->localIdentifier))
                    throw PhotoLibraryError(PhotoLibraryError::Code::NotFound,
                                            QStringLiteral("Item “%1” is not in the album “%2”.")
                                                .arg(a->localIdentifier, title));
        }
        library().performChangesAndWait([&](ChangeRequests& c) {
            auto* change = c.changeRequestForAssetCollection(target);
            if (action == QLatin1String("add"))
                change->addAssets(assets);
            else
                change->removeAssets(assets);
        });
        return 0;
    }

    int setFlag(bool favorite) {
        const bool off = takeFlag(QStringLiteral("--off"));
        needArguments(1, "needs item identifiers");
        const auto assets = assetsNamed(m_args);
        library().performChangesAndWait([&](ChangeRequests& c) {
            for (const AssetPtr& a : assets) {
                auto& change = c.changeRequestForAsset(a);
                (favorite ? change.favorite : change.hidden) = !off;
            }
        });
        return 0;
    }
    int favorite() { return setFlag(true); }
    int hide() { return setFlag(false); }

    int trash() {
        needArguments(1, "trash needs list, restore or empty");
        const QString action = m_args.takeFirst();
        if (action == QLatin1String("list")) {
            for (const TrashedAsset& t : library().trashedAssets())
                m_out << assetLine(t.asset) << "  deleted "
                      << t.trashedAt.toLocalTime().toString(Qt::ISODate) << "\n";
            return 0;
        }
        if (action == QLatin1String("restore")) {
            needArguments(1, "trash restore needs item identifiers");
            QSet<QString> trashed;
            for (const TrashedAsset& t : library().trashedAssets())
                trashed.insert(t.asset->localIdentifier);
            for (const QString& id : std::as_const(m_args))
                if (!trashed.contains(id))
                    throw PhotoLibraryError(
                        PhotoLibraryError::Code::NotFound,
                        QStringLiteral("No item “%1” in Recently Deleted.").arg(id));
            const int n = library().restoreFromTrash(m_args);
            m_out << "Restored " << n << " item" << (n == 1 ? "" : "s") << ".\n";
            return n == int(QSet<QString>(m_args.cbegin(), m_args.cend()).size()) ? 0 : 1;
        }
        if (action == QLatin1String("empty")) {
            const int n = library().emptyTrash();
            m_out << "Removed " << n << " item" << (n == 1 ? "" : "s") << " for good.\n";
            return 0;
        }
        throw UsageError{QStringLiteral("trash needs list, restore or empty")};
    }

    int access() {
        const QString path = m_libraryPath.isEmpty() ? systemLibraryPath() : m_libraryPath;
        if (m_args.isEmpty()) {
            const auto grants = PhotoLibraryAccess::storedGrants(AccessLevel::ReadWrite);
            for (auto it = grants.cbegin(); it != grants.cend(); ++it)
                m_out << it.key() << ": "
                      << authorizationStatusName(PhotoLibraryAccess::authorizationStatus(
                             AccessLevel::ReadWrite, it.key(), path))
                      << "\n";
            if (grants.isEmpty())
                m_out << "No program has asked for access yet.\n";
            return 0;
        }
        needArguments(2, "access needs a client and a status");
        static const QMap<QString, AuthorizationStatus> statuses = {
            {QStringLiteral("authorized"), AuthorizationStatus::Authorized},
            {QStringLiteral("limited"), AuthorizationStatus::Limited},
            {QStringLiteral("denied"), AuthorizationStatus::Denied},
        };
        if (m_args[1] == QLatin1String("forget")) {
            PhotoLibraryAccess::forget(m_args[0]);
            return 0;
        }
        if (!statuses.contains(m_args[1]))
            throw UsageError{
                QStringLiteral("status must be authorized, limited, denied or forget")};
        PhotoLibraryAccess::setStoredStatus(m_args[0], AccessLevel::ReadWrite,
                                            statuses.value(m_args[1]));
        return 0;
    }

    int check() {
        const bool decode = takeFlag(QStringLiteral("--decode"));
        needArguments(0, "");
        QStringList problems = library().check();
        if (decode)
            problems << undecodablePictures();
        for (const QString& p : problems)
            m_out << p << "\n";
        if (problems.isEmpty())
            m_out << "The library is clean.\n";
        return problems.isEmpty() ? 0 : 1;
    }

    // Every stored JPEG or HEIC that does not decode: a file damaged or cut off inside, which
    // the size check cannot see.
    QStringList undecodablePictures() {
        QStringList problems;
        FetchOptions options;
        options.includeHiddenAssets = true;
        for (const AssetPtr& asset : library().fetchAssets(MediaType::Image, options))
            for (const ResourcePtr& resource : asset->resources) {
                const auto type = uti::UTType::fromIdentifier(resource->uniformTypeIdentifier);
                if (!type || !(type->conformsTo(uti::UTType::jpeg()) ||
                               type->conformsTo(uti::UTType::heif())))
                    continue;
                QFile file(library().storedFilePath(resource));
                if (!file.open(QIODevice::ReadOnly) || !imaging::decodesAsPicture(file.readAll()))
                    problems << QStringLiteral("item %1: %2 does not decode as a picture")
                                    .arg(asset->localIdentifier, resource->originalFilename);
            }
        return problems;
    }

    int exportAlbum() {
        ExportArguments a;
        a.album = takeOption(QStringLiteral("--album"));
        a.format = takeOption(QStringLiteral("--format"));
        a.maxSize = takeOption(QStringLiteral("--max-size"));
        a.quality = takeOption(QStringLiteral("--quality"));
        needArguments(1, "export needs the folder to write into");
        a.folders = m_args;
        return exportCommand(
            a, [this] { return library().shared_from_this(); },
            [this](const QString& title) { return albumTitled(title); }, m_out, m_err);
    }

    // __complete albums|items|trashed: album titles, item identifiers or those of the items
    // in Recently Deleted, one per line, for the shell's completion. It looks only: no
    // library is made, the trash is not purged, and a library that cannot be opened gives
    // no words.
    int complete() {
        needArguments(1, "__complete needs albums, items or trashed");
        const QString kind = m_args.takeFirst();
        needArguments(0, "");
        const QString path = m_libraryPath.isEmpty() ? systemLibraryPath() : m_libraryPath;
        if (!QFileInfo::exists(path))
            return 1;
        m_library =
            PhotoLibrary::open(path, {.createWhenMissing = false, .purgeExpiredTrash = false});
        if (kind == QLatin1String("albums")) {
            for (const CollectionPtr& c : m_library->fetchAssetCollections(
                     CollectionType::Album, CollectionSubtype::AlbumRegular))
                if (c->localizedTitle)
                    m_out << *c->localizedTitle << "\n";
        } else if (kind == QLatin1String("items")) {
            FetchOptions o;
            o.includeHiddenAssets = true;
            o.sortDescriptors = {{QStringLiteral("creationDate"), true}};
            for (const AssetPtr& a : m_library->fetchAssets(MediaType::Image, o))
                m_out << a->localIdentifier << "\n";
        } else if (kind == QLatin1String("trashed")) {
            for (const TrashedAsset& t : m_library->trashedAssets())
                m_out << t.asset->localIdentifier << "\n";
        } else {
            throw UsageError{QStringLiteral("__complete needs albums, items or trashed")};
        }
        return 0;
    }

    int demo() {
        const QString pairs = takeOption(QStringLiteral("--pairs"));
        needArguments(1, "demo needs the path of the new library");
        return demoCommand(pairs, m_args, m_out, m_err);
    }

    QStringList m_args;
    QTextStream& m_out;
    QTextStream& m_err;
    QString m_libraryPath;
    bool m_readOnly = false;
    std::shared_ptr<PhotoLibrary> m_library;
};

} // namespace

int run(const QStringList& args, QTextStream& out, QTextStream& err) {
    try {
        return Cli(args, out, err).run();
    } catch (const UsageError& e) {
        err << "photolib: " << e.message << "\n"
            << "Try “photolib --help”.\n";
        return 2;
    } catch (const PhotoLibraryError& e) {
        err << "photolib: " << e.description() << "\n";
        return 1;
    } catch (const std::exception& e) {
        err << "photolib: " << e.what() << "\n";
        return 1;
    }
}

} // namespace photolib
