#pragma once

#include <QString>
#include <QStringList>
#include <memory>

namespace tavrolin::test {

// Collects the diagnostic log while alive.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    QStringList lines() const;
    bool contains(const QString &text) const;   // some line equals text
    int countStartingWith(const QString &prefix) const;
    QString joined() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace tavrolin::test
