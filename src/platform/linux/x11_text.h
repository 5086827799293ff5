#pragma once
// Decoding of X11 text properties (window titles, WM_CLASS). Every byte comes from another client, so these
// functions accept anything and never read past the data they are given.
#include <QByteArrayView>
#include <QString>

namespace X11Text {

enum class Encoding { Utf8, Latin1, CompoundText };

// A property value decoded by its declared type. Invalid sequences become U+FFFD.
[[nodiscard]] QString decode(Encoding encoding, QByteArrayView bytes);

// ISO 2022 compound text as X clients write it: ASCII / ISO 8859-x designations, the 94x94 CJK sets (through their
// EUC forms), UTF-8 segments (ESC % G … ESC % @) and extended segments naming their encoding.
[[nodiscard]] QString decodeCompoundText(QByteArrayView bytes);

// WM_CLASS is "instance\0class\0"; missing terminators are tolerated.
struct WmClass
{
    QString instance;
    QString className;
};
[[nodiscard]] WmClass parseWmClass(QByteArrayView bytes);

} // namespace X11Text
