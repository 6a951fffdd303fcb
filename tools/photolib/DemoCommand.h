#pragma once

#include <QStringList>
#include <QTextStream>

namespace photolib {

// `photolib demo [--pairs N] PATH`: `pairs` as typed (empty: the default). Prints what the new
// library holds; throws UsageError for bad arguments, and the library's error when it cannot be
// made.
int demoCommand(const QString& pairs, const QStringList& paths, QTextStream& out, QTextStream& err);

} // namespace photolib
