#pragma once
// The system idle clock: seconds since the last keyboard, mouse or other input.
#include <QObject>
#include <QString>

class IdleSource : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    // Always finite and non-negative; drops towards 0 on input. 0 when the source cannot be read.
    [[nodiscard]] virtual double secondsSinceLastInput() = 0;
    [[nodiscard]] virtual QString backendName() const = 0;   // e.g. "x11-screensaver", "mutter", "none"
};
