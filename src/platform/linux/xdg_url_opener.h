#pragma once
// Opens a location in the desktop's handler: through Qt when a GUI application runs, else by `xdg-open`.
#include "url_opener.h"

class XdgUrlOpener final : public UrlOpener
{
    Q_OBJECT
public:
    using UrlOpener::UrlOpener;
    bool open(const QUrl &url) override;
};
