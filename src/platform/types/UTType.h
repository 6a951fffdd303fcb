#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace uti {

// A uniform type identifier with its file-name extensions and parents.
// Values are cheap handles into a fixed table; two handles are equal when they
// name the same identifier.
class UTType {
public:
    // Lookups: an identifier or extension the table does not know gives no type.
    static std::optional<UTType> fromIdentifier(const QString& identifier);
    static std::optional<UTType> fromFilenameExtension(const QString& extension);

    static UTType item();
    static UTType data();
    static UTType image();
    static UTType jpeg();
    static UTType heif();
    static UTType heic();
    static UTType rawImage();

    QString identifier() const;
    // Empty when the type has no extension of its own (e.g. public.image).
    QString preferredFilenameExtension() const;
    QStringList filenameExtensions() const;
    QStringList parentIdentifiers() const;

    // True when this type is `other` or descends from it.
    bool conformsTo(const UTType& other) const;

    bool operator==(const UTType& other) const { return m_index == other.m_index; }

private:
    explicit UTType(int index) : m_index(index) {}
    int m_index;
};

// Convenience tests used by the pair rules: an unknown identifier is neither.
bool conformsToRaw(const QString& identifier);
bool conformsToJpeg(const QString& identifier);
bool conformsToHeif(const QString& identifier);

} // namespace uti
