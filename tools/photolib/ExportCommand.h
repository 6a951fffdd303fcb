#pragma once

#include "platform/photos/PhotoLibrary.h"

#include <QStringList>
#include <QTextStream>
#include <functional>
#include <memory>

namespace photolib {

// `photolib export` as typed: option values (empty when not given) and the folders named.
struct ExportArguments {
    QString album;
    QString format;
    QString maxSize;
    QString quality;
    QStringList folders;
};

// Checks the arguments (UsageError), exports the album's members into the folder, reports
// each item that fails on `err` and a summary on `out`. Returns 0, or 1 when an item failed.
// Throws for a missing album, an unusable folder or a file that cannot be written.
int exportCommand(const ExportArguments& arguments,
                  const std::function<std::shared_ptr<photos::PhotoLibrary>()>& library,
                  const std::function<photos::CollectionPtr(const QString&)>& albumTitled,
                  QTextStream& out, QTextStream& err);

} // namespace photolib
