#pragma once

#include "platform/ManagedService.h"

namespace tavrolin {

// The services of the start sequence, in its order. A slot left empty is
// skipped (its status text still shows).
struct ServerServices {
    ManagedService *lanAdvertiser = nullptr;     // DNS-SD advertisement
    ManagedService *cloudRegistration = nullptr; // awaited at start and stop
    ManagedService *tunnelServer = nullptr;
    ManagedService *apiServer = nullptr;
    ManagedService *quicReceiver = nullptr;
    ManagedService *relayWatcher = nullptr;
    ManagedService *connectionMonitor = nullptr; // started once running
};

} // namespace tavrolin
