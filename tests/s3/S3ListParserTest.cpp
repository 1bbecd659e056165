#include <QElapsedTimer>
#include <gtest/gtest.h>

#include "s3/S3ListParser.h"

using namespace tavrolin;

namespace {

S3ListParser parsed(const QByteArray &xml)
{
    S3ListParser parser(xml);
    parser.parse();
    return parser;
}

// Captured from the engine: the first page of a two-key listing.
const QByteArray kEnginePage =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<ListBucketResult xmlns="http://s3.amazonaws.com/doc/2006-03-01/"><Name>photos</Name><Prefix></Prefix><MaxKeys>2</MaxKeys><IsTruncated>true</IsTruncated><Contents><Key>a.jpg</Key><ETag>&#34;9dd4e461268c8034f5c8564e155c67a6&#34;</ETag><Size>1</Size><StorageClass>STANDARD</StorageClass><LastModified>2026-12-07T05:27:19Z</LastModified></Contents><Contents><Key>a_thumb.jpg</Key><ETag>&#34;9dd4e461268c8034f5c8564e155c67a6&#34;</ETag><Size>1</Size><StorageClass>STANDARD</StorageClass><LastModified>2026-12-07T05:27:19Z</LastModified></Contents><NextContinuationToken>a_thumb.jpg</NextContinuationToken><KeyCount>2</KeyCount></ListBucketResult>)";

} // namespace

TEST(S3ListParser, ReadsAnEnginePage)
{
    const auto p = parsed(kEnginePage);
    EXPECT_EQ(p.keys, QStringList({"a.jpg", "a_thumb.jpg"}));
    EXPECT_TRUE(p.isTruncated);
    ASSERT_TRUE(p.nextContinuationToken.has_value());
    EXPECT_EQ(*p.nextContinuationToken, "a_thumb.jpg");
    EXPECT_FALSE(p.hadError());
    EXPECT_EQ(p.etags, QStringList({"9dd4e461268c8034f5c8564e155c67a6", "9dd4e461268c8034f5c8564e155c67a6"}));
    EXPECT_EQ(p.sizes, (QList<qint64>{1, 1}));

    // ETag and size stay beside their own key: missing ones are not taken
    // from a neighbour, nonsense sizes are unknown, an entry without a key
    // lends its ETag to no one.
    const auto q = parsed("<R><Contents><Key>a</Key><Size>12345678901</Size></Contents>"
                          "<Contents><ETag>\"x\"</ETag><Size>5</Size></Contents>"
                          "<Contents><Key>b</Key><ETag>\"y\"</ETag><Size>-4</Size></Contents>"
                          "<Contents><Key>c</Key><Size>many</Size></Contents></R>");
    EXPECT_EQ(q.keys, QStringList({"a", "b", "c"}));
    EXPECT_EQ(q.etags, QStringList({"", "y", ""}));
    EXPECT_EQ(q.sizes, (QList<qint64>{12345678901, -1, -1}));
}

TEST(S3ListParser, LastPageAndItsVariants)
{
    const auto last = parsed("<ListBucketResult><IsTruncated>false</IsTruncated><Contents><Key>b.mov</Key></Contents></ListBucketResult>");
    EXPECT_EQ(last.keys, QStringList{"b.mov"});
    EXPECT_FALSE(last.isTruncated);
    EXPECT_FALSE(last.nextContinuationToken.has_value());

    // Case of "true" does not matter; surrounding white space is removed;
    // an empty token is no token.
    const auto upper = parsed("<R><IsTruncated> TRUE\n</IsTruncated><NextContinuationToken>  </NextContinuationToken></R>");
    EXPECT_TRUE(upper.isTruncated);
    EXPECT_FALSE(upper.nextContinuationToken.has_value());
    EXPECT_TRUE(parsed("<R><IsTruncated>True</IsTruncated></R>").isTruncated);
    EXPECT_FALSE(parsed("<R><IsTruncated>yes</IsTruncated></R>").isTruncated);
}

TEST(S3ListParser, KeysWithEntitiesCdataWhiteSpaceAndEmptiness)
{
    const auto p = parsed(R"(<R>
        <Contents><Key>  spaced key.jpg
        </Key></Contents>
        <Contents><Key></Key></Contents>
        <Contents><Key>   </Key></Contents>
        <Contents><Key>a&amp;b+c=d &#x263A;.jpg</Key></Contents>
        <Contents><Key><![CDATA[<not>&markup;]]></Key></Contents>
        <NextContinuationToken>a&amp;b+c=d</NextContinuationToken>
    </R>)");
    EXPECT_EQ(p.keys, QStringList({"spaced key.jpg", QString::fromUtf8("a&b+c=d \u263A.jpg"), "<not>&markup;"}));
    EXPECT_EQ(p.nextContinuationToken.value_or(""), "a&b+c=d");
    EXPECT_FALSE(p.hadError());
}

TEST(S3ListParser, NestedKeysAreEachReadOnce)
{
    // Matched by name wherever they stand; an outer element does not see
    // the inner one's text again.
    const auto p = parsed("<R><Key>outer<Key>inner</Key></Key><Owner><Key>owner</Key></Owner></R>");
    EXPECT_EQ(p.keys, QStringList({"inner", "owner"}));
}

TEST(S3ListParser, TruncatedOrBrokenDocumentsKeepWhatWasReadAndSayso)
{
    const auto cut = parsed("<R><IsTruncated>true</IsTruncated><Contents><Key>one.jpg</Key></Contents><Contents><Key>tw");
    EXPECT_EQ(cut.keys, QStringList{"one.jpg"});
    EXPECT_TRUE(cut.hadError());

    const auto garbage = parsed("HTTP/1.1 500 not xml at all");
    EXPECT_TRUE(garbage.keys.isEmpty());
    EXPECT_TRUE(garbage.hadError());

    const auto mismatched = parsed("<R><Key>a</Key><Key>b</R>");
    EXPECT_EQ(mismatched.keys, QStringList{"a"});
    EXPECT_TRUE(mismatched.hadError());

    EXPECT_TRUE(parsed("").keys.isEmpty());
}

TEST(S3ListParser, EntityExpansionIsBoundedAndExternalEntitiesAreNotFetched)
{
    // A "billion laughs" document must not blow up memory or time.
    QByteArray bomb = "<?xml version=\"1.0\"?><!DOCTYPE R [<!ENTITY a0 \"lol\">";
    for (int i = 1; i <= 10; ++i)
        bomb += QStringLiteral("<!ENTITY a%1 \"&a%2;&a%2;&a%2;&a%2;&a%2;&a%2;&a%2;&a%2;&a%2;&a%2;\">").arg(i).arg(i - 1).toUtf8();
    bomb += "]><R><Key>&a10;</Key></R>";
    QElapsedTimer timer;
    timer.start();
    const auto p = parsed(bomb);
    EXPECT_LT(timer.elapsed(), 5000);
    EXPECT_TRUE(p.hadError());
    for (const QString &key : p.keys)
        EXPECT_LT(key.size(), 1'000'000);

    const auto external = parsed("<?xml version=\"1.0\"?><!DOCTYPE R [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><R><Key>&x;</Key></R>");
    for (const QString &key : external.keys)
        EXPECT_FALSE(key.contains("root:"));
}

TEST(S3ListParser, StopsAtItsBoundsKeepingWhatItRead)
{
    QByteArray many = "<ListBucketResult>";
    for (qsizetype i = 0; i <= S3ListParser::kMaxKeys; ++i)
        many += "<Contents><Key>k" + QByteArray::number(i) + "</Key></Contents>";
    many += "<IsTruncated>false</IsTruncated></ListBucketResult>";
    const auto p = parsed(many);
    EXPECT_EQ(p.keys.size(), S3ListParser::kMaxKeys);
    EXPECT_EQ(p.errorText, QString("The page names more than %1 keys").arg(S3ListParser::kMaxKeys));

    // One element's text, however it arrives (here as many character runs).
    QByteArray longKey = "<ListBucketResult><Contents><Key>a</Key></Contents><Contents><Key>";
    for (int i = 0; i < 3000; ++i)
        longKey += QByteArray(30, 'x') + "&amp;";
    longKey += "</Key></Contents></ListBucketResult>";
    const auto q = parsed(longKey);
    EXPECT_EQ(q.keys, QStringList{"a"});
    EXPECT_TRUE(q.errorText.startsWith("An element's text is longer than"));

    const auto r = parsed(QByteArray(S3ListParser::kMaxPageBytes + 1, ' '));
    EXPECT_TRUE(r.keys.isEmpty());
    EXPECT_TRUE(r.errorText.startsWith("The page is larger than"));
}
