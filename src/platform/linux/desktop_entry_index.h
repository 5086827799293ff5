#pragma once
// Finds the installed application (.desktop file) behind a window's WM_CLASS, for its display name and its
// desktop-file id. The folders are read once and re-read only when one of them changed, at most once a minute,
// so a lookup normally costs one hash probe.
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

struct DesktopEntry
{
    QString id;     // desktop-file id, e.g. "org.gnome.Nautilus"
    QString name;   // Name=, localized when the entry has the person's language
};

class DesktopEntryIndex
{
public:
    // applicationDirs in precedence order; an id found in an earlier folder hides the same id further on.
    explicit DesktopEntryIndex(QStringList applicationDirs = defaultApplicationDirs());

    // Match order: StartupWMClass (case-insensitive), then desktop-file id, then Name; the class before the instance.
    [[nodiscard]] std::optional<DesktopEntry> find(const QString &instance, const QString &wmClass);

    // $XDG_DATA_HOME/applications, then each of $XDG_DATA_DIRS/applications (with the standard defaults).
    [[nodiscard]] static QStringList defaultApplicationDirs();

    // Parses one file's [Desktop Entry] group; nullopt when it is no visible application. locale: e.g. "de_DE".
    struct Parsed
    {
        QString name;
        QString localizedName;
        QString startupWmClass;
        bool hidden = false;
    };
    [[nodiscard]] static std::optional<Parsed> parse(const QByteArray &contents, const QString &locale);

private:
    struct Entry
    {
        DesktopEntry result;
        QString idLower;
        QString idLastLower;   // "nautilus" for "org.gnome.Nautilus"
        QString nameLower;
        QString wmClassLower;
    };

    void refreshIfStale();
    void rebuild();
    [[nodiscard]] QList<QDateTime> folderStamps() const;
    [[nodiscard]] std::optional<DesktopEntry> match(const QString &instance, const QString &wmClass) const;

    QStringList m_dirs;
    std::vector<Entry> m_entries;
    QHash<QString, std::optional<DesktopEntry>> m_cache;
    QList<QDateTime> m_stamps;
    QElapsedTimer m_lastCheck;
    bool m_built = false;
};
