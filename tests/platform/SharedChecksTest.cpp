// The one atomic save, the one set of name checks and the one bounded JSON
// reader every layer uses.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include "platform/AtomicFile.h"
#include "platform/StrictJson.h"
#include "platform/Validators.h"
#include "tests/support/TestSupport.h"

using namespace tavrolin;
using namespace tavrolin::test;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

TEST(AtomicWrite, ReplacesWholeKeepsTheOldFileOnFailureAndRestrictsBeforeWriting)
{
    Sandbox sandbox;
    const QString path = sandbox.path("registry.json");
    ASSERT_EQ(atomicWrite(path, "first"), "");
    ASSERT_EQ(atomicWrite(path, "second, longer"), "");
    EXPECT_EQ(readAll(path), "second, longer");

    const QString key = sandbox.path("key.p12");
    ASSERT_EQ(atomicWrite(key, "secret", QFileDevice::ReadOwner | QFileDevice::WriteOwner), "");
    const QFileDevice::Permissions mode = QFileInfo(key).permissions();
    EXPECT_TRUE(mode.testFlags(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    EXPECT_FALSE(mode & (QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther));

    EXPECT_NE(atomicWrite(sandbox.path("no-such-folder/x.json"), "x"), "");

    // A new file gets the usual permissions, a replaced one keeps its own.
    const QString plain = sandbox.path("plain.json");
    ASSERT_EQ(atomicWrite(plain, "a"), "");
    EXPECT_TRUE(QFileInfo(plain).permissions().testFlag(QFileDevice::ReadOther));
    ASSERT_EQ(atomicWrite(key, "rotated"), "");
    EXPECT_FALSE(QFileInfo(key).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther));
    EXPECT_EQ(readAll(key), "rotated");

    // A drive that fills up mid-write: the previous file stays as it was and
    // no temporary file is left behind.
    TmpfsMount drive("1m");
    if (!drive.ok())
        GTEST_SKIP() << "skipped: " << drive.error().toStdString();
    const QString onDrive = drive.path() + "/device_registry.json";
    ASSERT_EQ(atomicWrite(onDrive, "the registry before"), "");
    const QString failed = atomicWrite(onDrive, QByteArray(4 << 20, 'x'));
    EXPECT_FALSE(failed.isEmpty());
    EXPECT_EQ(readAll(onDrive), "the registry before");
    EXPECT_EQ(QDir(drive.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"device_registry.json"});
}

TEST(Validators, NamesKeysAndControlCharacters)
{
    using namespace Validators;
    for (const QString name : {"upload-1", "IMG 0001.jpg", "ünïcødé", "a.b.c"})
        EXPECT_TRUE(isPlainFileName(name)) << name.toStdString();
    for (const QString &name : QStringList{"", ".hidden", "..", "a/b", "a\\b", "tab\there", "nul\x01", "del\x7f"})
        EXPECT_FALSE(isPlainFileName(name)) << name.toStdString();
    // The limit is in bytes on disk, with room for the suffixes we add.
    EXPECT_TRUE(isPlainFileName(QString(200, u'a')));
    EXPECT_FALSE(isPlainFileName(QString(201, u'a')));
    EXPECT_TRUE(isPlainFileName(QString(100, QChar(0x00e9))));  // 200 bytes of UTF-8
    EXPECT_FALSE(isPlainFileName(QString(101, QChar(0x00e9)))); // 202

    for (const QString key : {"2024/01/IMG_0001.jpg", "a..b/c", "with ?#% inside", ".dotfile"})
        EXPECT_TRUE(isValidObjectKey(key)) << key.toStdString();
    for (const QString key : {"", "../photos2/x", "a/./b", "a/..", "line\nbreak", "bell\a"})
        EXPECT_FALSE(isValidObjectKey(key)) << key.toStdString();

    EXPECT_FALSE(hasControlCharacters(u"plain text, with ünïcødé"));
    EXPECT_TRUE(hasControlCharacters(u"carriage\rreturn"));
}

TEST(BoundedJson, SizeAndNestingAreCheckedBeforeParsing)
{
    const JsonBounds bounds{64, 3};
    EXPECT_TRUE(parseBoundedJson(R"({"a":[{"b":1}]})", bounds));
    EXPECT_FALSE(parseBoundedJson(R"({"a":[{"b":[1]}]})", bounds));
    // Brackets in strings, escaped quotes and all, are text.
    EXPECT_TRUE(parseBoundedJson(R"({"a":"[[[[\"{{{{"})", bounds));
    EXPECT_FALSE(parseBoundedJson(R"({"a":"\\","b":[[[1]]]})", bounds)) << "an escaped backslash escapes no quote";
    EXPECT_TRUE(parseBoundedJson(R"({"a":"\\","b":[[1]]})", bounds));
    EXPECT_FALSE(parseBoundedJson(QByteArray(65, ' ') + "{}", bounds));
    EXPECT_TRUE(parseBoundedJson(QByteArray(62, ' ') + "{}", bounds));
    EXPECT_FALSE(parseBoundedJson("{\"a\":", bounds));
    // The ordered kind keeps the order written.
    const auto ordered = parseBoundedJson<nlohmann::ordered_json>(R"({"z":1,"a":2})", bounds);
    ASSERT_TRUE(ordered);
    EXPECT_EQ(ordered->begin().key(), "z");
}
