#pragma once
// The composition root: builds the application's services once, in start order, registers them as the shared
// instances, and runs the launch and shutdown sequences.
#include <QObject>

class Application : public QObject
{
    Q_OBJECT
public:
    static int run(int argc, char *argv[]);

private:
    void initialise();   // before the event loop: feature flags
    void launch();       // once the event loop runs
    void shutdown();     // when the event loop is about to quit
};
