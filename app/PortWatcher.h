// Tells the window when the system's serial ports may have changed: an entry
// appeared in or vanished from one of the watched directories (the port
// directory, /dev). The system tells us; nothing is polled.
#pragma once

#include <QObject>

#include <string>
#include <vector>

class QSocketNotifier;

class PortWatcher : public QObject {
    Q_OBJECT

public:
    // Watches each of `directories`. One that does not exist yet is watched
    // from its nearest existing parent until it appears.
    explicit PortWatcher(std::vector<std::string> directories, QObject* parent = nullptr);
    ~PortWatcher() override;

    PortWatcher(const PortWatcher&) = delete;
    PortWatcher& operator=(const PortWatcher&) = delete;

signals:
    // Entries changed; a burst of changes comes as one signal.
    void Changed();

private:
    void ReadEvents();
    void WatchDirectories();

    std::vector<std::string> directories_;
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    bool signalPending_ = false;
};
