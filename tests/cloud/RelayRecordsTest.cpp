#include <QTimeZone>
#include <gtest/gtest.h>

#include "cloud/RelayRecords.h"

using namespace tavrolin;
using namespace tavrolin::RelayRecords;

namespace {

const QByteArray kMetadata =
    R"({"uploadId":"u1","key":"photos/2024/a.jpg","contentType":"image/jpeg","size":12,)"
    R"("timestamp":"2026-12-05T15:24:06Z","senderDeviceId":"PHONE","extra":[1,2]})";

QString errorOf(const Decoded<RelayMetadata> &d) { return d ? QString() : d.error(); }

QByteArray replaced(const char *from, const char *to)
{
    QByteArray copy = kMetadata;
    return copy.replace(from, to);
}

} // namespace

TEST(RelayRecords, MetadataDecodesStrictlyAndIgnoresUnknownKeys)
{
    const auto decoded = decodeMetadata(kMetadata);
    ASSERT_TRUE(decoded.hasValue()) << errorOf(decoded).toStdString();
    const RelayMetadata &m = decoded.value();
    EXPECT_EQ(m.key, "photos/2024/a.jpg");
    EXPECT_EQ(m.size, 12);
    EXPECT_EQ(m.timestamp, QDateTime(QDate(2026, 12, 5), QTime(15, 24, 6), Qt::UTC));

    // An offset is RFC 3339 too; fractional seconds are not accepted.
    EXPECT_EQ(errorOf(decodeMetadata(replaced("15:24:06Z", "16:24:06+01:00"))), "");
    EXPECT_NE(errorOf(decodeMetadata(replaced("15:24:06Z", "15:24:06.5Z"))), "");
    EXPECT_NE(errorOf(decodeMetadata(replaced("15:24:06Z", "15:24:06"))), "");
    EXPECT_NE(errorOf(decodeMetadata(replaced("2026-12-05T15:24:06Z", "2026-13-45T15:24:06Z"))), "");
    EXPECT_NE(errorOf(decodeMetadata(replaced(R"(,"senderDeviceId":"PHONE")", ""))), "");
    EXPECT_NE(errorOf(decodeMetadata(replaced(R"("size":12)", R"("size":"12")"))), "");
    EXPECT_NE(errorOf(decodeMetadata(replaced(R"("size":12)", R"("size":12.0)"))), "");
    EXPECT_NE(errorOf(decodeMetadata(replaced(R"("size":12)", R"("size":18446744073709551615)"))), "");
    EXPECT_TRUE(errorOf(decodeMetadata(replaced(R"("size":12)", R"("size":-1)"))).contains("negative"));
    EXPECT_NE(errorOf(decodeMetadata(replaced(R"("key":"photos/2024/a.jpg")", R"("key":null)"))), "");
    for (const QByteArray &junk : {QByteArray(), QByteArray("[]"), QByteArray("{\"uploadId\":"), QByteArray("\xff\xfe")})
        EXPECT_NE(errorOf(decodeMetadata(junk)), "") << junk.toStdString();

    // Past the records' bounds: refused unread, whatever else the record holds.
    EXPECT_EQ(errorOf(decodeMetadata(replaced(R"("size":12)", R"("size":12,"x":[0])"))), "");
    EXPECT_NE(errorOf(decodeMetadata(replaced(R"("size":12)", R"("size":12,"x":[[0]])"))), "");
    EXPECT_NE(errorOf(decodeMetadata(kMetadata + QByteArray(RelayRecords::kBounds.maxBytes, ' '))), "");

    const auto request = decodeRequest(R"({"requestId":"r","key":"photos/a","timestamp":"2026-12-05T15:24:06Z","requesterDeviceId":"P"})");
    EXPECT_TRUE(request.hasValue());
    EXPECT_FALSE(decodeRequest(R"({"requestId":"r","key":"photos/a","timestamp":"2026-12-05T15:24:06Z"})").hasValue());
}

TEST(RelayRecords, AnswersAreCompactInKeyOrderWithOptionalKeysLeftOut)
{
    const QDateTime t(QDate(2026, 12, 5), QTime(15, 24, 6, 789), Qt::UTC);
    EXPECT_EQ(encode(RelayConfirmation{"abc", true, t, "photos/a.jpg", std::nullopt}),
              R"({"uploadId":"abc","success":true,"timestamp":"2026-12-05T15:24:06Z","s3Key":"photos/a.jpg"})");
    EXPECT_EQ(encode(RelayConfirmation{"abc", false, t, "", QString("Failed to upload to SeaweedFS")}),
              R"({"uploadId":"abc","success":false,"timestamp":"2026-12-05T15:24:06Z","s3Key":"","error":"Failed to upload to SeaweedFS"})");
    EXPECT_EQ(encode(DownloadResponse{"r1", true, t, qint64(0), QString("image/jpeg"), std::nullopt}),
              R"({"requestId":"r1","success":true,"timestamp":"2026-12-05T15:24:06Z","size":0,"contentType":"image/jpeg"})");
    EXPECT_EQ(encode(DownloadResponse{"r1", false, t, std::nullopt, std::nullopt, QString("Data file not found in iCloud")}),
              R"({"requestId":"r1","success":false,"timestamp":"2026-12-05T15:24:06Z","error":"Data file not found in iCloud"})");
    // Local times are written in UTC.
    EXPECT_EQ(formatDate(QDateTime(QDate(2026, 12, 5), QTime(16, 24, 6), QTimeZone(3600))), "2026-12-05T15:24:06Z");
}

TEST(RelayRecords, KeysMapToBucketAndObjectAndNeverEscapeThem)
{
    const QString base = "http://localhost:8333";
    auto url = [&](const QString &key) {
        const auto u = objectUrl(base, key);
        return u ? QString::fromUtf8(u->toEncoded()) : QStringLiteral("none");
    };
    EXPECT_EQ(url("photos/2024/a.jpg"), "http://localhost:8333/photos/2024/a.jpg");
    EXPECT_EQ(url("//photos/2024/a.jpg"), "http://localhost:8333/photos/2024/a.jpg");
    EXPECT_EQ(url("other/a//b.jpg"), "http://localhost:8333/other/a//b.jpg");
    // One part: an object of the default bucket.
    EXPECT_EQ(url("solo.jpg"), "http://localhost:8333/photos/solo.jpg");
    // No object named: a PUT there would be a bucket operation.
    for (const char *key : {"", "///", "photos/", "photos/a/../../x", "photos/./a", "../a", "photos/a\nb"})
        EXPECT_EQ(url(key), "none") << key;
    // Characters that mean something in a URL are escaped, so the object
    // named is the object reached.
    EXPECT_EQ(url("photos/a b+c?d#e%f.jpg"), "http://localhost:8333/photos/a%20b%2Bc%3Fd%23e%25f.jpg");
    EXPECT_EQ(url(QString::fromUtf8("photos/Küche.heic")), "http://localhost:8333/photos/K%C3%BCche.heic");
    EXPECT_EQ(url("@evil.example/x"), "http://localhost:8333/%40evil.example/x");
}
