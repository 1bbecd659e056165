#pragma once

#include <QList>

#include "platform/DnsSdPublisher.h"

namespace tavrolin::test {

// A DNS-SD publisher that only remembers what it was asked to announce.
class RecordingPublisher : public DnsSdPublisher {
public:
    void publish(const DnsSdService &service) override { published.append(service); }
    void withdraw() override { ++withdrawals; }
    QList<DnsSdService> published;
    int withdrawals = 0;
};

} // namespace tavrolin::test
