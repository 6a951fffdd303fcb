#include "platform/system/AppUpdater.h"

#include "BuildInfo.h"
#include "platform/system/SystemLog.h"

#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QXmlStreamReader>
#include <algorithm>

namespace sys {

namespace {

// A check that hears nothing for this long fails instead of keeping the menu item disabled.
constexpr int transferTimeoutMs = 30000;

// "sparkle:version" → "version": the feed may declare the prefix or not, and under any URI.
QStringView localName(QStringView qualified) {
    const qsizetype colon = qualified.lastIndexOf(u':');
    return colon < 0 ? qualified : qualified.mid(colon + 1);
}

QList<qint64> versionComponents(const QString& version) {
    QList<qint64> components;
    for (const QString& part : version.trimmed().split(u'.')) {
        qsizetype digits = 0;
        while (digits < part.size() && part[digits].isDigit() && part[digits].unicode() < 128)
            ++digits;
        // Absurdly long numbers are cut, not overflowed.
        components.append(digits == 0 ? -1
                                      : part.left(std::min<qsizetype>(digits, 15)).toLongLong());
    }
    return components;
}

} // namespace

AppUpdater& AppUpdater::shared() {
    static AppUpdater* updater = new AppUpdater(QUrl(QString::fromUtf8(buildinfo::appcastUrl)),
                                                QString::fromUtf8(buildinfo::shortVersion));
    return *updater;
}

AppUpdater::AppUpdater(QUrl feed, QString currentVersion, QObject* parent)
    : QObject(parent), m_feed(std::move(feed)), m_currentVersion(std::move(currentVersion)),
      m_network(new QNetworkAccessManager(this)) {
    // Starting the updater is all it takes: with a feed it can check at once.
    m_canCheck = m_feed.isValid() && !m_feed.isEmpty() && !m_feed.isRelative();
}

AppUpdater::~AppUpdater() = default;

bool AppUpdater::canCheckForUpdates() const {
    return m_canCheck;
}

void AppUpdater::setCanCheck(bool canCheck) {
    if (canCheck == m_canCheck)
        return;
    m_canCheck = canCheck;
    emit canCheckForUpdatesChanged(canCheck);
}

void AppUpdater::checkForUpdates() {
    if (!m_canCheck)
        return;
    SystemLog::updates().info(QStringLiteral("check for updates (user initiated)"));
    setCanCheck(false);
    QNetworkRequest request(m_feed);
    request.setTransferTimeout(transferTimeoutMs);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QStringLiteral("Twinslim/%1").arg(m_currentVersion));
    m_abortReason.clear();
    QNetworkReply* reply = m_network->get(request);
    auto abort = [this, reply](const QString& reason) {
        m_abortReason = reason;
        reply->abort();
    };
    connect(reply, &QNetworkReply::downloadProgress, this, [abort](qint64 received, qint64) {
        if (received > maximumFeedBytes)
            abort(QStringLiteral("The update feed was too large."));
    });
    // The transfer timeout only catches silence; this bounds the whole check.
    auto* limit = new QTimer(reply);
    limit->setSingleShot(true);
    connect(limit, &QTimer::timeout, this,
            [abort] { abort(QStringLiteral("The update server took too long to answer.")); });
    connect(reply, &QNetworkReply::finished, limit, &QTimer::stop);
    limit->start(m_checkTimeLimit);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { finish(reply); });
}

void AppUpdater::finish(QNetworkReply* reply) {
    reply->deleteLater();
    Outcome outcome;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 400) {
        const QString reason =
            reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().trimmed();
        outcome.error =
            reason.isEmpty()
                ? QStringLiteral("The update server answered %1.").arg(status)
                : QStringLiteral("The update server answered %1 %2.").arg(status).arg(reason);
    } else if (reply->error() == QNetworkReply::OperationCanceledError) {
        outcome.error = m_abortReason.isEmpty()
                            ? QStringLiteral("The update server took too long to answer.")
                            : m_abortReason;
    } else if (reply->error() != QNetworkReply::NoError) {
        outcome.error =
            QStringLiteral("The update server could not be reached: %1.").arg(reply->errorString());
    } else {
        const QList<Release> releases = parseAppcast(reply->read(maximumFeedBytes + 1), m_feed);
        if (releases.isEmpty()) {
            outcome.error = QStringLiteral("The update feed could not be read.");
        } else {
            const Release* newest = &releases.front();
            for (const Release& release : releases)
                if (compareVersions(release.version, newest->version) > 0)
                    newest = &release;
            if (compareVersions(newest->version, m_currentVersion) > 0) {
                outcome.kind = Outcome::Kind::newerAvailable;
                outcome.version = newest->version;
                outcome.link = newest->link;
            } else {
                outcome.kind = Outcome::Kind::upToDate;
            }
        }
    }
    setCanCheck(true);
    emit checkFinished(outcome);
}

QList<AppUpdater::Release> AppUpdater::parseAppcast(const QByteArray& feed, const QUrl& base) {
    QList<Release> releases;
    QXmlStreamReader xml(feed);
    // Feeds that use the sparkle: prefix without declaring it are common enough to accept.
    xml.setNamespaceProcessing(false);
    bool inItem = false;
    QString version, shortVersion;
    QUrl link, enclosure, notes;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.hasError())
            return {};
        const QStringView name = localName(xml.qualifiedName());
        if (xml.isStartElement()) {
            if (name == u"item") {
                inItem = true;
                version.clear();
                shortVersion.clear();
                link.clear();
                enclosure.clear();
                notes.clear();
            } else if (!inItem) {
                continue;
            } else if (name == u"enclosure") {
                for (const QXmlStreamAttribute& attribute : xml.attributes()) {
                    const QStringView attributeName = localName(attribute.qualifiedName());
                    if (attributeName == u"version" && version.isEmpty())
                        version = attribute.value().toString().trimmed();
                    else if (attributeName == u"shortVersionString" && shortVersion.isEmpty())
                        shortVersion = attribute.value().toString().trimmed();
                    else if (attributeName == u"url")
                        enclosure = QUrl(attribute.value().toString().trimmed());
                }
            } else if (name == u"version") {
                version = xml.readElementText(QXmlStreamReader::SkipChildElements).trimmed();
            } else if (name == u"shortVersionString") {
                shortVersion = xml.readElementText(QXmlStreamReader::SkipChildElements).trimmed();
            } else if (name == u"link") {
                link = QUrl(xml.readElementText(QXmlStreamReader::SkipChildElements).trimmed());
            } else if (name == u"releaseNotesLink") {
                notes = QUrl(xml.readElementText(QXmlStreamReader::SkipChildElements).trimmed());
            }
        } else if (xml.isEndElement() && name == u"item" && inItem) {
            inItem = false;
            const QString shown = isReadableVersion(shortVersion) ? shortVersion : version;
            if (!isReadableVersion(shown))
                continue;
            QUrl where;
            for (QUrl candidate : {link, enclosure, notes}) {
                if (candidate.isEmpty())
                    continue;
                if (candidate.isRelative() && base.isValid())
                    candidate = base.resolved(candidate);
                if (isOpenableLink(candidate)) {
                    where = candidate;
                    break;
                }
            }
            releases.append({shown, where});
        }
    }
    return xml.hasError() ? QList<Release>() : releases;
}

bool AppUpdater::isReadableVersion(const QString& version) {
    if (version.trimmed().isEmpty())
        return false;
    const QList<qint64> components = versionComponents(version);
    return std::none_of(components.begin(), components.end(), [](qint64 c) { return c < 0; });
}

bool AppUpdater::isOpenableLink(const QUrl& url) {
    if (!url.isValid() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme == u"https")
        return true;
    const QString host = url.host().toLower();
    return scheme == u"http" && (host == u"localhost" || QHostAddress(host).isLoopback());
}

int AppUpdater::compareVersions(const QString& a, const QString& b) {
    const QList<qint64> left = versionComponents(a);
    const QList<qint64> right = versionComponents(b);
    for (qsizetype i = 0; i < std::max(left.size(), right.size()); ++i) {
        const qint64 l = i < left.size() ? left[i] : 0;
        const qint64 r = i < right.size() ? right[i] : 0;
        if (l != r)
            return l < r ? -1 : 1;
    }
    return 0;
}

} // namespace sys
