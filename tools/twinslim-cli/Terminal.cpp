#include "Terminal.h"

namespace twinslimcli {

std::optional<QString> Terminal::ask(const QString& question) {
    if (!m_interactive)
        return std::nullopt;
    m_out.flush();
    m_err << question;
    m_err.flush();
    QString line;
    if (!m_in.readLineInto(&line)) {
        m_err << "\n";
        return std::nullopt;
    }
    return line.trimmed();
}

bool Terminal::confirm(const QString& question, bool assumeYes) {
    const QString prompt = question + QStringLiteral(" [y/N] ");
    if (assumeYes) {
        m_err << prompt << "yes (--yes)\n";
        return true;
    }
    if (!m_interactive) {
        m_err << prompt << "no (no terminal to ask; --yes answers yes)\n";
        return false;
    }
    const std::optional<QString> answer = ask(prompt);
    return answer && (answer->compare(QLatin1String("y"), Qt::CaseInsensitive) == 0 ||
                      answer->compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0);
}

} // namespace twinslimcli
