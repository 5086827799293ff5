#pragma once
// Registers Qt D-Bus's own value types on the calling (main) thread before the first bus use. Qt 6.4 otherwise
// registers them lazily from its D-Bus thread, racing the main thread, which now and then prints "Trying to
// construct an instance of an invalid type" warnings.
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusSignature>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QMetaType>

inline void ensureDBusMetaTypes()
{
    static const bool registered = [] {
        qRegisterMetaType<QDBusArgument>();
        qRegisterMetaType<QDBusMessage>();
        qRegisterMetaType<QDBusObjectPath>();
        qRegisterMetaType<QDBusSignature>();
        qRegisterMetaType<QDBusUnixFileDescriptor>();
        qRegisterMetaType<QDBusVariant>();
        return true;
    }();
    (void)registered;
}
