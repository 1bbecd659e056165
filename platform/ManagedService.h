#pragma once

#include <QCoro/QCoroTask>

namespace tavrolin {

// A service that the server manager starts and stops in its fixed order.
// Neither call fails to the manager: a service reports its own failures.
// Services implement it below the server; the manager only consumes it.
class ManagedService {
public:
    virtual ~ManagedService() = default;
    // s3Port is the engine's S3 gateway port, for services that talk to it.
    virtual QCoro::Task<> start(int s3Port) = 0;
    virtual QCoro::Task<> stop() = 0;
};

// A service whose start and stop complete at once.
template <typename T>
class StartStopService : public ManagedService {
public:
    explicit StartStopService(T &service) : m_service(service) {}
    QCoro::Task<> start(int) override
    {
        m_service.start();
        co_return;
    }
    QCoro::Task<> stop() override
    {
        m_service.stop();
        co_return;
    }

private:
    T &m_service;
};

} // namespace tavrolin
