#pragma once

#include <QUrl>
#include <cstdio>

// What every target checks of an address a peer's input produced: it stays
// on the gateway it was built for.
#define FUZZ_REQUIRE(condition)                                                                          \
    do {                                                                                                 \
        if (!(condition)) {                                                                              \
            std::fprintf(stderr, "fuzz: %s:%d: %s does not hold\n", __FILE__, __LINE__, #condition);     \
            __builtin_trap();                                                                            \
        }                                                                                                \
    } while (0)

inline bool staysOnGateway(const QUrl &url, const QString &bucketPath)
{
    if (url.scheme() != QLatin1String("http") || url.host() != QLatin1String("localhost") || url.port() != 8333
        || !url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment())
        return false;
    const QString path = url.path(QUrl::FullyDecoded);
    return bucketPath.isEmpty() ? path.startsWith(u'/') : path.startsWith(bucketPath);
}
