#pragma once
// Opens a location (settings pane or web page) in the system's handler.
#include <QObject>
#include <QUrl>

class UrlOpener : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    virtual bool open(const QUrl &url) = 0;   // false when no handler took it
};
