#pragma once

// Termination requests from outside (SIGTERM from a session manager or
// `kill`, SIGINT from a terminal, SIGHUP when the terminal goes) end the
// message loop as closing the window does, so that shut-down runs and the
// records not yet confirmed reach the data file instead of being lost with
// the process.

#include <QObject>

class QSocketNotifier;

namespace lorvent {

class TQuitOnSignals : public QObject {
    Q_OBJECT
public:
    // Installs the handlers; they stay until the object is destroyed.
    TQuitOnSignals();
    ~TQuitOnSignals() override;

    TQuitOnSignals(const TQuitOnSignals&) = delete;
    TQuitOnSignals& operator=(const TQuitOnSignals&) = delete;

    // False when the handlers could not be installed; the program then runs
    // on with the default handling.
    bool Installed() const { return notifier_ != nullptr; }

private:
    void Arrived();

    QSocketNotifier* notifier_ = nullptr;
};

} // namespace lorvent
