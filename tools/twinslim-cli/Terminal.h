#pragma once

#include <QString>
#include <QTextStream>
#include <optional>

namespace twinslimcli {

// Where the program talks to its user: results on standard output, messages and questions
// on standard error, answers read from standard input, but only when that is a terminal.
class Terminal {
public:
    Terminal(QTextStream& out, QTextStream& err, QTextStream& in, bool interactive)
        : m_out(out), m_err(err), m_in(in), m_interactive(interactive) {}

    QTextStream& out() { return m_out; }
    QTextStream& err() { return m_err; }
    bool isInteractive() const { return m_interactive; }

    // Writes the question and reads one line; none without a terminal or at end of input.
    std::optional<QString> ask(const QString& question);
    // "question [y/N]": `assumeYes` answers yes without asking; without a terminal the
    // answer is no. The answer taken is written after the question.
    bool confirm(const QString& question, bool assumeYes);

private:
    QTextStream& m_out;
    QTextStream& m_err;
    QTextStream& m_in;
    bool m_interactive;
};

} // namespace twinslimcli
