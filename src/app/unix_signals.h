#pragma once
// Turns SIGINT, SIGTERM and SIGHUP into a normal quit of the event loop (through a self-pipe, the only thing a
// signal handler may safely do), so shutdown runs and the open segment is closed.
class QCoreApplication;

namespace UnixSignals {
void quitOnTermination(QCoreApplication *app);
}
