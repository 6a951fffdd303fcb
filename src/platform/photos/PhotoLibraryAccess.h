#pragma once

#include "platform/photos/PhotoTypes.h"

#include <QMap>
#include <QString>
#include <functional>
#include <optional>

namespace photos {

// Authorization of client programs to the photo library. Grants are stored by the
// service per client program and access level, not per library; the library's folder
// can still make access impossible (denied when the user cannot read and write it,
// restricted on read-only media).
class PhotoLibraryAccess {
public:
    // The client identity used when none is given: the application's name.
    static QString defaultClient();

    static AuthorizationStatus authorizationStatus(AccessLevel level,
                                                   const QString& client = defaultClient(),
                                                   const QString& libraryPath = {});
    // What the library's folder alone decides, whatever the grant: restricted on read-only
    // media, denied when this user cannot read and write it; none when it is usable.
    static std::optional<AuthorizationStatus> folderStatus(const QString& libraryPath);

    // The reply may be given from any thread.
    using ConsentHandler = std::function<void(const QString& client, AccessLevel level,
                                              std::function<void(AuthorizationStatus)> reply)>;
    // Set by the embedding program: the consent prompt (Allow full access → authorized,
    // Limit access → limited, Don't allow → denied).
    static void setConsentHandler(ConsentHandler handler);

    // Answers at once when the status is already determined (or the folder decides it);
    // otherwise asks the consent handler and stores its answer. Without a handler the
    // status stays not determined. The handler may be called on any thread.
    static void requestAuthorization(AccessLevel level,
                                     std::function<void(AuthorizationStatus)> handler,
                                     const QString& client = defaultClient(),
                                     const QString& libraryPath = {});

    // Stored grants, for `photolib access`; key "client" with the level's grant. Setting
    // and forgetting throw PhotoLibraryError when the grants cannot be written.
    static QMap<QString, AuthorizationStatus> storedGrants(AccessLevel level);
    static void setStoredStatus(const QString& client, AccessLevel level,
                                AuthorizationStatus status);
    static void forget(const QString& client);
};

QString authorizationStatusName(AuthorizationStatus status);

} // namespace photos
