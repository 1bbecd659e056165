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

// A service whose start and stop complete at once: it listens, or stops
// listening, before the call returns.
class ListeningService : public ManagedService {
public:
    virtual void startListening(int s3Port) = 0;
    virtual void stopListening() = 0;
    QCoro::Task<> start(int s3Port) final
    {
        startListening(s3Port);
        co_return;
    }
    QCoro::Task<> stop() final
    {
        stopListening();
        co_return;
    }
};

} // namespace tavrolin
