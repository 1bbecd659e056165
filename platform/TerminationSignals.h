#pragma once

#include <QObject>

namespace tavrolin {

// SIGINT and SIGTERM (Ctrl-C, logout, a service manager) delivered to the
// event loop as a signal, so the server can stop in order.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject *parent = nullptr);

Q_SIGNALS:
    void received();

private:
    void drain();
};

} // namespace tavrolin
