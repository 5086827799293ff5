#include "desktop_entry_index.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSet>
#include <algorithm>

namespace {

constexpr qint64 kRecheckMs = 60'000;
constexpr qint64 kMaxFileBytes = 256 * 1024;   // real entries are a few KiB; anything larger is not one
constexpr int kMaxFiles = 20'000;

// Desktop-entry value escapes: \s \n \t \r \\.
QString unescape(const QString &value)
{
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != u'\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const QChar next = value[++i];
        if (next == u's')
            out += u' ';
        else if (next == u'n')
            out += u'\n';
        else if (next == u't')
            out += u'\t';
        else if (next == u'r')
            out += u'\r';
        else
            out += next;
    }
    return out;
}

QString lastComponent(const QString &idLower)
{
    const qsizetype dot = idLower.lastIndexOf(u'.');
    return dot < 0 ? QString() : idLower.mid(dot + 1);
}

} // namespace

DesktopEntryIndex::DesktopEntryIndex(QStringList applicationDirs) : m_dirs(std::move(applicationDirs)) {}

QStringList DesktopEntryIndex::defaultApplicationDirs()
{
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (dataHome.isEmpty() || !QDir::isAbsolutePath(dataHome))
        dataHome = QDir::homePath() + QStringLiteral("/.local/share");
    QString dataDirs = qEnvironmentVariable("XDG_DATA_DIRS");
    if (dataDirs.isEmpty())
        dataDirs = QStringLiteral("/usr/local/share:/usr/share");
    QStringList dirs{dataHome + QStringLiteral("/applications")};
    for (const QString &dir : dataDirs.split(u':', Qt::SkipEmptyParts))
        if (QDir::isAbsolutePath(dir))
            dirs << QDir::cleanPath(dir) + QStringLiteral("/applications");
    dirs.removeDuplicates();
    return dirs;
}

std::optional<DesktopEntryIndex::Parsed> DesktopEntryIndex::parse(const QByteArray &contents, const QString &locale)
{
    // Localized keys in the desktop-entry standard's order of preference: lang_COUNTRY, then lang.
    const QString full = locale.section(u'.', 0, 0).section(u'@', 0, 0);
    const QString lang = full.section(u'_', 0, 0);
    Parsed parsed;
    QString type;
    QString nameFull;
    QString nameLang;
    bool inMainGroup = false;
    for (const QByteArray &rawLine : contents.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inMainGroup)
            continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0)
            continue;
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (key == QLatin1String("Type"))
            type = value;
        else if (key == QLatin1String("Name"))
            parsed.name = unescape(value);
        else if (!full.isEmpty() && key == QStringLiteral("Name[%1]").arg(full))
            nameFull = unescape(value);
        else if (!lang.isEmpty() && key == QStringLiteral("Name[%1]").arg(lang))
            nameLang = unescape(value);
        else if (key == QLatin1String("StartupWMClass"))
            parsed.startupWmClass = value;
        else if (key == QLatin1String("Hidden"))
            parsed.hidden = value == QLatin1String("true");
    }
    if (parsed.hidden)
        return parsed;   // a hidden entry still hides the same id in later folders
    if (type != QLatin1String("Application") || parsed.name.isEmpty())
        return std::nullopt;
    parsed.localizedName = !nameFull.isEmpty() ? nameFull : !nameLang.isEmpty() ? nameLang : parsed.name;
    return parsed;
}

QList<QDateTime> DesktopEntryIndex::folderStamps() const
{
    QList<QDateTime> stamps;
    stamps.reserve(m_dirs.size());
    for (const QString &dir : m_dirs) {
        const QFileInfo info(dir);
        stamps << (info.isDir() ? info.lastModified() : QDateTime());
    }
    return stamps;
}

void DesktopEntryIndex::refreshIfStale()
{
    if (m_built && m_lastCheck.isValid() && m_lastCheck.elapsed() < kRecheckMs)
        return;
    m_lastCheck.start();
    const QList<QDateTime> stamps = folderStamps();
    if (m_built && stamps == m_stamps)
        return;
    m_stamps = stamps;
    rebuild();
}

void DesktopEntryIndex::rebuild()
{
    m_built = true;
    m_entries.clear();
    m_cache.clear();
    const QString locale = QLocale::system().name();
    QSet<QString> seenIds;
    int files = 0;
    for (const QString &dir : m_dirs) {
        QDirIterator it(dir, {QStringLiteral("*.desktop")}, QDir::Files | QDir::Readable,
                        QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
        std::vector<std::pair<QString, QString>> found;   // id, path; sorted so the result does not depend on readdir
        while (it.hasNext() && files < kMaxFiles) {
            const QString path = it.next();
            ++files;
            QString id = QDir(dir).relativeFilePath(path);
            id.chop(8);   // ".desktop"
            id.replace(u'/', u'-');
            found.emplace_back(id, path);
        }
        std::sort(found.begin(), found.end());
        for (const auto &[id, path] : found) {
            if (seenIds.contains(id))
                continue;
            seenIds.insert(id);
            QFile file(path);
            if (file.size() > kMaxFileBytes || !file.open(QIODevice::ReadOnly))
                continue;
            const std::optional<Parsed> parsed = parse(file.read(kMaxFileBytes), locale);
            if (!parsed || parsed->hidden)
                continue;
            Entry entry;
            entry.result = {id, parsed->localizedName};
            entry.idLower = id.toLower();
            entry.idLastLower = lastComponent(entry.idLower);
            entry.nameLower = parsed->name.toLower();
            entry.wmClassLower = parsed->startupWmClass.toLower();
            m_entries.push_back(std::move(entry));
        }
    }
}

std::optional<DesktopEntry> DesktopEntryIndex::match(const QString &instance, const QString &wmClass) const
{
    QStringList keys;
    for (const QString &k : {wmClass.toLower(), instance.toLower()})
        if (!k.isEmpty() && !keys.contains(k))
            keys << k;
    if (keys.isEmpty())
        return std::nullopt;
    using Field = QString Entry::*;
    // Each rule is tried for every key before the next rule: a StartupWMClass anywhere beats an id match.
    const std::vector<std::vector<Field>> rules{
        {&Entry::wmClassLower}, {&Entry::idLower, &Entry::idLastLower}, {&Entry::nameLower}};
    for (const auto &fields : rules)
        for (const Field field : fields)
            for (const QString &key : keys)
                for (const Entry &entry : m_entries)
                    if (entry.*field == key)
                        return entry.result;
    return std::nullopt;
}

std::optional<DesktopEntry> DesktopEntryIndex::find(const QString &instance, const QString &wmClass)
{
    refreshIfStale();
    const QString cacheKey = instance + QChar(u'\0') + wmClass;
    const auto cached = m_cache.constFind(cacheKey);
    if (cached != m_cache.constEnd())
        return *cached;
    std::optional<DesktopEntry> result = match(instance, wmClass);
    // Classes come from other clients: keep the cache bounded however many distinct ones appear.
    if (m_cache.size() > 4096)
        m_cache.clear();
    m_cache.insert(cacheKey, result);
    return result;
}
