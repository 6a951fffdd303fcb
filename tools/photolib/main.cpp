#include "PhotolibCli.h"

#include <QCoreApplication>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    // A file-size limit (RLIMIT_FSIZE) must fail the write that meets it, so the change is
    // undone and reported, rather than end the process in the middle of it.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("photolib"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    int status = photolib::run(app.arguments().mid(1), out, err);
    out.flush();
    // Output that did not reach its file (a full disk, a closed pipe) is a failure, not
    // a listing cut short in silence.
    errno = 0;
    if (out.status() != QTextStream::Ok || std::fflush(stdout) != 0 || std::ferror(stdout)) {
        err << "photolib: standard output cannot be written"
            << (errno ? QStringLiteral(": %1").arg(QString::fromLocal8Bit(std::strerror(errno)))
                      : QString())
            << "\n";
        if (status == 0)
            status = 1;
    }
    err.flush();
    return status;
}
