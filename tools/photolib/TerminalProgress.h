#pragma once

#include <QString>
#include <QTextStream>
#include <functional>

namespace photolib {

// Reports (done, total) as one rewritten line on `err` when it is a terminal; nothing otherwise.
std::function<void(int, int)> terminalProgress(QTextStream& err, const QString& verb);

} // namespace photolib
