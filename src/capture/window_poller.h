#pragma once
// The 2-second title poller: window titles change without an application switch, so while recording and not
// away the owner's tick runs every 2 s (tolerance 0.2 s). It stops entirely while away.
#include <QObject>
#include <functional>
#include <optional>

class RepeatingTimer;

class WindowPoller : public QObject
{
    Q_OBJECT
public:
    static constexpr double kIntervalSeconds = 2.0;

    explicit WindowPoller(std::function<void()> onTick, QObject *parent = nullptr);

    void start();              // the owner started recording
    void stop();               // the owner stopped recording
    void setAway(bool away);   // idle period or screens asleep

    [[nodiscard]] bool isRecording() const { return m_isRecording; }
    [[nodiscard]] bool isAway() const { return m_isAway; }
    [[nodiscard]] bool isPolling() const { return m_timer != nullptr; }
    // The running timer's tolerance and interval in seconds; nullopt while not polling.
    [[nodiscard]] std::optional<double> tolerance() const;
    [[nodiscard]] std::optional<double> intervalSeconds() const;

private:
    void update();

    std::function<void()> m_onTick;
    RepeatingTimer *m_timer = nullptr;   // child of the poller
    bool m_isRecording = false;
    bool m_isAway = false;
};
