#include "Terminal.h"
#include "TwinslimCli.h"

#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    // A backup folder without room for a file's size (RLIMIT_FSIZE) must fail that write
    // with the system's message, not end the process in the middle of a run.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("twinslim-cli"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    QTextStream in(stdin);
    twinslimcli::Terminal terminal(out, err, in, isatty(STDIN_FILENO));
    const int status = twinslimcli::run(app.arguments().mid(1), terminal);
    out.flush();
    err.flush();
    return status;
}
