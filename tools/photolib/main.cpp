#include "PhotolibCli.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("photolib"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    const int status = photolib::run(app.arguments().mid(1), out, err);
    out.flush();
    err.flush();
    return status;
}
