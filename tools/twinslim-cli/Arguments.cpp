#include "Arguments.h"

#include "UsageError.h"

namespace twinslimcli {

std::optional<QString> Arguments::takeOption(const QString& name) {
    const qsizetype i = m_words.indexOf(name);
    if (i < 0)
        return std::nullopt;
    if (i + 1 >= m_words.size() || m_words[i + 1].startsWith(QLatin1String("--")))
        throw UsageError{QStringLiteral("%1 needs a value").arg(name)};
    const QString value = m_words[i + 1];
    m_words.remove(i, 2);
    if (m_words.contains(name))
        throw UsageError{QStringLiteral("%1 is given twice").arg(name)};
    return value;
}

bool Arguments::takeFlag(const QString& name) {
    return m_words.removeAll(name) > 0;
}

std::optional<QStringList> Arguments::takeList(const QString& name) {
    const qsizetype i = m_words.indexOf(name);
    if (i < 0)
        return std::nullopt;
    qsizetype end = i + 1;
    while (end < m_words.size() && !m_words[end].startsWith(QLatin1String("--")))
        ++end;
    QStringList values = m_words.mid(i + 1, end - i - 1);
    if (values.isEmpty())
        throw UsageError{QStringLiteral("%1 needs at least one value").arg(name)};
    m_words.remove(i, end - i);
    return values;
}

std::optional<QString> Arguments::takeChoice(const QString& name, const QStringList& choices) {
    const std::optional<QString> value = takeOption(name);
    if (value && !choices.contains(*value))
        throw UsageError{QStringLiteral("%1 must be one of %2, not “%3”")
                             .arg(name, choices.join(QLatin1String("|")), *value)};
    return value;
}

QStringList Arguments::operands(int min, int max, const QString& missing) {
    for (const QString& word : std::as_const(m_words))
        if (word.startsWith(QLatin1String("--")))
            throw UsageError{QStringLiteral("unknown option “%1”").arg(word)};
    if (m_words.size() < min)
        throw UsageError{missing};
    if (m_words.size() > max)
        throw UsageError{QStringLiteral("unexpected “%1”").arg(m_words[max])};
    return std::exchange(m_words, {});
}

} // namespace twinslimcli
