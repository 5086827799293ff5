// Which installed application a WM_CLASS belongs to, from fixture application folders.
#include "desktop_entry_index.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {
void write(const QString &dir, const char *file, const QByteArray &contents)
{
    const QString path = dir + u'/' + QString::fromUtf8(file);
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(contents);
}
QByteArray entry(const QByteArray &name, const QByteArray &extra = {})
{
    return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=x\n" + extra;
}
} // namespace

class TestDesktopEntryIndex : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    QString m_home;
    QString m_system;

private Q_SLOTS:
    void initTestCase()
    {
        m_home = m_root.filePath(QStringLiteral("home/applications"));
        m_system = m_root.filePath(QStringLiteral("usr/applications"));
        write(m_system, "org.gnome.Nautilus.desktop", entry("Files", "StartupWMClass=org.gnome.Nautilus\n"));
        write(m_system, "firefox-esr.desktop", entry("Firefox ESR", "StartupWMClass=Firefox-esr\n"));
        write(m_system, "code.desktop", entry("Visual Editor", "Name[de]=Editor\nStartupWMClass=Code\n"));
        write(m_system, "gimp.desktop", entry("GNU Image Manipulation Program"));
        write(m_system, "calc.desktop", entry("Calculator"));
        // A StartupWMClass match beats an id match for the same class.
        write(m_system, "terminal.desktop", entry("Old Terminal"));
        write(m_system, "org.example.Term.desktop", entry("Terminal Pro", "StartupWMClass=terminal\n"));
        write(m_system, "kde4/okular.desktop", entry("Okular"));
        write(m_system, "shadowed.desktop", entry("System Copy"));
        write(m_home, "shadowed.desktop", entry("My Copy"));
        write(m_system, "removed.desktop", entry("Removed App"));
        write(m_home, "removed.desktop", "[Desktop Entry]\nHidden=true\n");
        write(m_system, "link.desktop", "[Desktop Entry]\nType=Link\nName=Link\nURL=https://example.org\n");
        write(m_system, "escaped.desktop", entry("Two\\sWords", "StartupWMClass=escaped\n"));
        write(m_system, "other-group.desktop",
              "[Desktop Action new]\nName=Wrong\n[Desktop Entry]\nType=Application\nName=Right\n");
    }

    void find_data()
    {
        QTest::addColumn<QString>("instance");
        QTest::addColumn<QString>("wmClass");
        QTest::addColumn<QString>("id");     // empty: no match
        QTest::addColumn<QString>("name");
        QTest::addRow("StartupWMClass, case-insensitive") << "firefox-esr" << "firefox-ESR" << "firefox-esr"
                                                          << "Firefox ESR";
        QTest::addRow("StartupWMClass by instance") << "org.gnome.Nautilus" << "Nope" << "org.gnome.Nautilus"
                                                    << "Files";
        QTest::addRow("desktop-file id") << "gimp-2.10" << "Gimp" << "gimp" << "GNU Image Manipulation Program";
        QTest::addRow("last part of a reverse-DNS id") << "nautilus" << "Nautilus" << "org.gnome.Nautilus"
                                                       << "Files";
        QTest::addRow("Name") << "kcalc" << "calculator" << "calc" << "Calculator";
        QTest::addRow("StartupWMClass before id") << "terminal" << "Terminal" << "org.example.Term"
                                                  << "Terminal Pro";
        QTest::addRow("subfolder id joined with -") << "okular" << "kde4-okular" << "kde4-okular" << "Okular";
        QTest::addRow("earlier folder wins") << "shadowed" << "Shadowed" << "shadowed" << "My Copy";
        QTest::addRow("hidden entry hides the same id") << "removed" << "Removed" << "" << "";
        QTest::addRow("links are no applications") << "link" << "Link" << "" << "";
        QTest::addRow("value escapes") << "escaped" << "Escaped" << "escaped" << "Two Words";
        QTest::addRow("only the [Desktop Entry] group") << "other-group" << "x" << "other-group" << "Right";
        QTest::addRow("unknown") << "xmessage" << "Xmessage" << "" << "";
        QTest::addRow("empty class") << "" << "" << "" << "";
    }
    void find()
    {
        QFETCH(QString, instance);
        QFETCH(QString, wmClass);
        QFETCH(QString, id);
        QFETCH(QString, name);
        DesktopEntryIndex index({m_home, m_system, m_root.filePath(QStringLiteral("missing"))});
        const std::optional<DesktopEntry> found = index.find(instance, wmClass);
        QCOMPARE(found.has_value(), !id.isEmpty());
        if (found) {
            QCOMPARE(found->id, id);
            QCOMPARE(found->name, name);
        }
        QCOMPARE(index.find(instance, wmClass).has_value(), found.has_value());   // and the same from the cache
    }

    void localizedName_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("name");
        QTest::addRow("language") << "de_AT.UTF-8" << "Editor";
        QTest::addRow("country first") << "de_CH" << "Schweiz";
        QTest::addRow("no translation") << "fr_FR" << "Visual Editor";
    }
    void localizedName()
    {
        QFETCH(QString, locale);
        QFETCH(QString, name);
        const auto parsed = DesktopEntryIndex::parse(entry("Visual Editor", "Name[de]=Editor\nName[de_CH]=Schweiz\n"),
                                                     locale);
        QVERIFY(parsed);
        QCOMPARE(parsed->localizedName, name);
        QCOMPARE(parsed->name, QStringLiteral("Visual Editor"));
    }

    void defaultDirsFollowXdg()
    {
        qputenv("XDG_DATA_HOME", "/data/home");
        qputenv("XDG_DATA_DIRS", "/a:relative:/b/");
        QCOMPARE(DesktopEntryIndex::defaultApplicationDirs(),
                 QString::fromLatin1("/data/home/applications /a/applications /b/applications").split(u' '));
        qputenv("XDG_DATA_DIRS", "");
        QCOMPARE(DesktopEntryIndex::defaultApplicationDirs(),
                 QString::fromLatin1("/data/home/applications /usr/local/share/applications /usr/share/applications")
                     .split(u' '));
    }
};

QTEST_GUILESS_MAIN(TestDesktopEntryIndex)
#include "tst_desktop_entry_index.moc"
