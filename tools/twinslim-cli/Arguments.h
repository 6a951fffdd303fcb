#pragma once

#include <QStringList>
#include <optional>

namespace twinslimcli {

// The words of a command line, taken apart option by option; whatever remains at the end
// is the command's operands. Mistakes throw UsageError.
class Arguments {
public:
    explicit Arguments(QStringList words) : m_words(std::move(words)) {}

    bool isEmpty() const { return m_words.isEmpty(); }
    QString takeFirst() { return m_words.takeFirst(); }

    // "--name VALUE" anywhere; none when absent.
    std::optional<QString> takeOption(const QString& name);
    // "--name" anywhere.
    bool takeFlag(const QString& name);
    // "--name A B …": the words after it up to the next option; none when absent.
    std::optional<QStringList> takeList(const QString& name);
    // The one value of an option from a fixed set of choices.
    std::optional<QString> takeChoice(const QString& name, const QStringList& choices);

    // The operands left, at least `min` and at most `max`; a leftover option is an error.
    QStringList operands(int min, int max, const QString& missing);

private:
    QStringList m_words;
};

} // namespace twinslimcli
