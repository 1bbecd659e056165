#include "server/ServerTypes.h"

namespace tavrolin {

QString SeaweedFSStatus::toString() const
{
    switch (kind) {
    case Kind::Stopped: return QStringLiteral("stopped");
    case Kind::Starting: return QStringLiteral("starting");
    case Kind::Running: return QStringLiteral("running");
    case Kind::Failed: return QStringLiteral("failed: ") + message;
    }
    return {};
}

QString ServerError::description() const
{
    switch (code) {
    case Code::SeaweedStartupFailed: return QStringLiteral("SeaweedFS failed to start: ") + message;
    case Code::SeaweedNotFound: return QStringLiteral("SeaweedFS binary not found in app bundle");
    case Code::FailedToStart: return QStringLiteral("Failed to start server process");
    case Code::AlreadyRunning: return QStringLiteral("Server is already running");
    }
    return {};
}

} // namespace tavrolin
