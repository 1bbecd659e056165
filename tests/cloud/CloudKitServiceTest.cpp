#include <QDir>
#include <QFile>
#include <QSettings>
#include <gtest/gtest.h>

#include "cloud/CloudKitService.h"
#include "cloud/ServerDeviceId.h"
#include "platform/FolderRecordStore.h"
#include "platform/SyncFolderDrive.h"
#include "platform/Validators.h"
#include "tests/support/MemoryRecordStore.h"
#include "tests/support/TestSupport.h"

using namespace tavrolin;
using namespace tavrolin::test;
using namespace std::chrono_literals;

namespace {

struct Signaling {
    Sandbox sandbox;
    MemoryRecordStore store;
    QDateTime clock = QDateTime(QDate(2026, 12, 7), QTime(12, 0), Qt::UTC);
    std::unique_ptr<CloudKitService> service;
    QList<QVariantMap> messages;
    LogCapture log;

    explicit Signaling(int heartbeatMs = 60000)
    {
        CloudKitConfig config;
        config.heartbeatMs = heartbeatMs;
        config.settingsFile = sandbox.settings();
        config.clock = [this] { return clock; };
        config.computerName = [] { return QStringLiteral("Studio"); };
        service = std::make_unique<CloudKitService>(store, config);
        QObject::connect(service.get(), &CloudKitService::signalingMessage, [this](const QVariantMap &m) { messages.append(m); });
    }
    Record message(const QString &name, const QString &type, int secondsAgo, std::map<QString, FieldValue> extra = {})
    {
        Record r{"SignalingMessage", name, {}};
        r.fields = {{"sessionId", QString("S1")},      {"senderId", QString("PHONE")}, {"targetDeviceId", service->deviceId()},
                    {"type", type},                   {"processed", false},           {"timestamp", clock.addSecs(-secondsAgo)}};
        for (auto &[k, v] : extra)
            r.fields[k] = v;
        store.records[name] = r;
        return r;
    }
};

} // namespace

TEST(CloudKitService, RegistersUpdatesInPlaceBeatsAndUnregisters)
{
    Signaling s(50);
    runTask(s.service->registerServer(8333));
    const QString id = QSettings(s.sandbox.settings(), QSettings::IniFormat).value("CloudKitDeviceId").toString();
    ASSERT_EQ(id.size(), 36);
    EXPECT_EQ(id, id.toUpper());
    ASSERT_EQ(s.store.records.count("server-" + id), 1u);
    const Record &presence = s.store.records["server-" + id];
    EXPECT_EQ(presence.type, "ServerRegistration");
    EXPECT_EQ(presence.get<QString>("name"), "Studio");
    EXPECT_EQ(presence.get<qint64>("port"), 8333);
    EXPECT_EQ(presence.get<bool>("isOnline"), true);
    EXPECT_TRUE(s.service->isRegistered());
    EXPECT_FALSE(s.service->error().has_value());
    EXPECT_TRUE(s.log.contains("CloudKit: Server registered - name: Studio, deviceId: " + id));
    EXPECT_TRUE(s.log.contains("CloudKit: Other devices should send signaling messages to targetDeviceId: " + id));
    EXPECT_TRUE(s.log.contains("CloudKit: Subscribed to signaling messages"));
    ASSERT_EQ(s.store.subscriptions.size(), 1);
    EXPECT_EQ(s.store.subscriptions[0].id, "signaling-" + id);
    EXPECT_EQ(s.service->pollCount(), 1) << "subscribing ends with a first poll";

    // The heartbeat refreshes lastSeen on the same record.
    s.clock = s.clock.addSecs(60);
    ASSERT_TRUE(waitUntil([&] { return s.log.contains("CloudKit: Heartbeat sent"); }, 5s));
    EXPECT_EQ(s.store.records["server-" + id].get<QDateTime>("lastSeen"), s.clock);
    runTask(s.service->registerServer(8333));
    EXPECT_EQ(s.store.records.size(), 1u) << "updated in place, not duplicated";

    runTask(s.service->unregisterServer());
    EXPECT_FALSE(s.service->isRegistered());
    EXPECT_EQ(s.store.records["server-" + id].get<bool>("isOnline"), false);
    EXPECT_TRUE(s.log.contains("CloudKit: Server unregistered"));
    EXPECT_TRUE(s.log.contains("CloudKit: Unsubscribed from signaling"));
    EXPECT_TRUE(s.store.subscriptions.isEmpty());
    const int beats = s.log.countStartingWith("CloudKit: Heartbeat sent");
    waitUntil([] { return false; }, 200ms);
    EXPECT_EQ(s.log.countStartingWith("CloudKit: Heartbeat sent"), beats) << "no heartbeat after unregistering";

    // The id stays across launches.
    Signaling again;
    QFile::copy(s.sandbox.settings(), again.sandbox.settings() + ".tmp");
    QSettings(again.sandbox.settings(), QSettings::IniFormat).setValue("CloudKitDeviceId", id);
    EXPECT_EQ(again.service->deviceId(), id);
}

// The settings file is text anyone may edit: an id that could not name a
// folder is never used for one.
TEST(ServerDeviceId, AStoredIdThatCannotNameAFolderIsReplacedOnce)
{
    Sandbox sandbox;
    for (const QString &bad : {QString("../../outside"), QString("a/b"), QString(".hidden"), QString("x\ny"), QString(300, 'A')}) {
        QSettings settings(sandbox.settings(), QSettings::IniFormat);
        settings.setValue("CloudKitDeviceId", bad);
        const QString id = serverDeviceId(settings);
        EXPECT_NE(id, bad);
        EXPECT_TRUE(Validators::isPlainFileName(id)) << id.toStdString();
        EXPECT_EQ(QSettings(sandbox.settings(), QSettings::IniFormat).value("CloudKitDeviceId").toString(), id);
        EXPECT_EQ(serverDeviceId(settings), id);
    }
}

TEST(CloudKitService, AccountStatusesAndStoreErrorsHaveTheirTexts)
{
    const std::pair<AccountStatus, const char *> statuses[] = {
        {AccountStatus::NoAccount, "Choose a cloud folder to reach this server from anywhere"},
        {AccountStatus::Restricted, "The cloud folder cannot be used here"},
        {AccountStatus::CouldNotDetermine, "Could not check the cloud folder"},
        {AccountStatus::TemporarilyUnavailable, "The cloud folder is temporarily unavailable"}};
    for (const auto &[status, text] : statuses) {
        Signaling s;
        s.store.status = status;
        runTask(s.service->registerServer(8333));
        EXPECT_EQ(s.service->error(), QString(text));
        EXPECT_FALSE(s.service->isRegistered());
        EXPECT_TRUE(s.store.subscriptions.isEmpty());
        EXPECT_TRUE(s.store.queries.isEmpty()) << "no poll without an account";
        EXPECT_EQ(s.log.countStartingWith("CloudKit: iCloud account status: "), 1);
    }
    const std::pair<RecordError, const char *> errors[] = {
        {{RecordError::QuotaExceeded, "quota"}, "The cloud folder's disk is full"},
        {{RecordError::PermissionFailure, "no"}, "No permission to write in the cloud folder"},
        {{RecordError::NotAuthenticated, "who"}, "The cloud folder cannot be written"},
        {{RecordError::Other, "disk full"}, "Cloud folder error: disk full"},
        {{RecordError::Other, "oops", false}, "Failed to register: oops"}};
    for (const auto &[error, text] : errors) {
        Signaling s;
        s.store.saveError = error;
        runTask(s.service->registerServer(8333));
        EXPECT_EQ(s.service->error(), QString(text));
        EXPECT_EQ(s.log.countStartingWith("CloudKit: Registration failed - "), 1);
    }
    Signaling never;
    runTask(never.service->unregisterServer());
    EXPECT_TRUE(never.store.records.empty());
}

TEST(CloudKitService, PollsTheWindowHandsEachMessageOnOnceAndCleansUp)
{
    Signaling s;
    s.message("offer-1", "offer", 10, {{"sdp", QString("v=0 offer")}});
    s.message("cand-1", "ice-candidate", 5, {{"candidate", QString("candidate:1 1 udp 1 127.0.0.1 5000 typ host")}, {"sdpMLineIndex", qint64(0)}});
    s.message("stale", "offer", 400);
    Record other = s.message("for-someone-else", "offer", 1);
    other.fields["targetDeviceId"] = QString("SOMEONE-ELSE");
    s.store.records["for-someone-else"] = other;

    runTask(s.service->pollForMessages());
    ASSERT_EQ(s.messages.size(), 2);
    QVariantMap offer = s.messages[0]["type"] == "offer" ? s.messages[0] : s.messages[1];
    QVariantMap cand = s.messages[0]["type"] == "offer" ? s.messages[1] : s.messages[0];
    EXPECT_EQ(offer.size(), 7);
    EXPECT_EQ(offer["sdp"], "v=0 offer");
    EXPECT_EQ(offer["candidate"], "");
    EXPECT_EQ(offer["sdpMid"], "");
    EXPECT_EQ(offer["sdpMLineIndex"].toLongLong(), 0);
    EXPECT_EQ(cand["sdpMid"], "") << "absent sdpMid is empty text";
    EXPECT_EQ(cand["candidate"], "candidate:1 1 udp 1 127.0.0.1 5000 typ host");
    EXPECT_EQ(offer["sessionId"], "S1");
    EXPECT_EQ(offer["senderId"], "PHONE");
    EXPECT_TRUE(s.store.records.count("stale")) << "outside the 300 s window";
    EXPECT_FALSE(s.store.records.count("offer-1")) << "handled messages are deleted";
    EXPECT_TRUE(s.log.contains("CloudKit: Looking for unprocessed messages to " + s.service->deviceId() + " from last 5 min"));
    EXPECT_TRUE(s.log.contains("CloudKit: Posting notification to WebRTCTunnelServer..."));
    ASSERT_FALSE(s.store.queries.isEmpty());
    EXPECT_EQ(s.store.queries.last().processed, false);
    EXPECT_EQ(s.store.queries.last().after, s.clock.addSecs(-300));

    // A record seen again (a deletion not yet visible) is not handed on twice.
    s.message("offer-1", "offer", 8);
    runTask(s.service->pollForMessages());
    EXPECT_EQ(s.messages.size(), 2);

    // A record without its fields is recorded and deleted, not handed on.
    Record broken{"SignalingMessage", "broken", {{"targetDeviceId", s.service->deviceId()}, {"processed", false}, {"timestamp", s.clock}}};
    s.store.records["broken"] = broken;
    runTask(s.service->pollForMessages());
    EXPECT_TRUE(s.log.contains("CloudKit: Failed to parse signaling message - missing fields"));
    EXPECT_FALSE(s.store.records.count("broken"));

    // Diagnostics on polls 1, 21, 41...; cleanup on poll 100.
    s.message("ancient", "offer", 700);
    while (s.service->pollCount() < 99)
        runTask(s.service->pollForMessages());
    EXPECT_EQ(s.log.countStartingWith("CloudKit: Looking for unprocessed"), 5);
    EXPECT_TRUE(s.store.records.count("ancient"));
    runTask(s.service->pollForMessages());
    EXPECT_FALSE(s.store.records.count("ancient"));
    EXPECT_TRUE(s.log.contains("CloudKit: Cleaning up 1 old signaling messages"));
    EXPECT_TRUE(s.store.records.count("for-someone-else")) << "only messages to this server are cleaned";
}

TEST(CloudKitService, RemembersHandledIdsOnlyAsLongAsAPollCanSeeThem)
{
    Signaling s;
    for (int i = 0; i < 50; ++i)
        s.message(QStringLiteral("m%1").arg(i), "ice-candidate", 1);
    runTask(s.service->pollForMessages());
    EXPECT_EQ(s.messages.size(), 50);
    EXPECT_EQ(s.service->rememberedMessageCount(), 50);
    // Six minutes on, those records are outside every window: forgotten.
    s.clock = s.clock.addSecs(361);
    runTask(s.service->pollForMessages());
    EXPECT_EQ(s.service->rememberedMessageCount(), 0);
    // A record with a future time stays remembered until it has aged.
    s.message("future", "offer", -3600);
    runTask(s.service->pollForMessages());
    s.clock = s.clock.addSecs(400);
    runTask(s.service->pollForMessages());
    EXPECT_EQ(s.service->rememberedMessageCount(), 1);
    s.message("future", "offer", -3200);
    runTask(s.service->pollForMessages());
    EXPECT_EQ(s.messages.size(), 51) << "never handed on twice";
}

TEST(CloudKitService, OversizedRecordsGoAndUnreadableOnesAreLeftForTheirOwner)
{
    Signaling s;
    // Unreadable: perhaps another device's, perhaps half synced. Left alone,
    // and looked at again a little later, not at every poll.
    s.store.unreadable["garbage"] = "not a JSON object";
    s.message("huge", "offer", 1, {{"sdp", QString(100000, QChar('a'))}});
    runTask(s.service->pollForMessages());
    runTask(s.service->pollForMessages());
    EXPECT_TRUE(s.messages.isEmpty());
    EXPECT_FALSE(s.store.removed.contains("garbage"));
    EXPECT_TRUE(s.store.removed.contains("huge"));
    EXPECT_EQ(s.log.countStartingWith("CloudKit: Discarding unreadable signaling record huge"), 1);
    EXPECT_EQ(s.log.countStartingWith("CloudKit: Skipping unreadable signaling record garbage"), 1);
    s.clock = s.clock.addSecs(CloudKitService::kRetryUnreadableSeconds + 1);
    runTask(s.service->pollForMessages());
    EXPECT_EQ(s.log.countStartingWith("CloudKit: Skipping unreadable signaling record garbage"), 2);

    s.store.queryError = RecordError{RecordError::Other, "offline"};
    runTask(s.service->pollForMessages());
    EXPECT_TRUE(s.log.contains("CloudKit: Failed to poll messages - offline"));
}

TEST(CloudKitService, AnswersAndCandidatesAreAddressedToTheClient)
{
    Signaling s;
    EXPECT_FALSE(QCoro::waitFor(s.service->sendAnswer("S1", "PHONE", "v=0 answer")).has_value());
    EXPECT_FALSE(QCoro::waitFor(s.service->sendIceCandidate("S1", "PHONE", "candidate:2", QString("0"), 0)).has_value());
    EXPECT_FALSE(QCoro::waitFor(s.service->sendIceCandidate("S1", "PHONE", "candidate:3", std::nullopt, 1)).has_value());
    ASSERT_EQ(s.store.records.size(), 3u);
    int answers = 0, withMid = 0;
    for (const auto &[name, r] : s.store.records) {
        EXPECT_EQ(name.size(), 36);
        EXPECT_EQ(r.get<QString>("targetDeviceId"), "PHONE");
        EXPECT_EQ(r.get<QString>("senderId"), s.service->deviceId());
        EXPECT_EQ(r.get<bool>("processed"), false);
        answers += r.get<QString>("type") == "answer";
        withMid += r.get<QString>("sdpMid").has_value();
    }
    EXPECT_EQ(answers, 1);
    EXPECT_EQ(withMid, 1);
    EXPECT_TRUE(s.log.contains("CloudKit: Sent signaling message - type: answer, target: PHONE"));
    s.store.saveError = RecordError{RecordError::Other, "full"};
    EXPECT_TRUE(QCoro::waitFor(s.service->sendAnswer("S1", "PHONE", "x")).has_value());
}

TEST(CloudKitService, AnEndedSessionLeavesNothingForItsClient)
{
    // A client that has gone never reads what was written to it; without
    // this its candidates stayed in the user's cloud folder for good.
    Signaling s;
    ASSERT_FALSE(QCoro::waitFor(s.service->sendAnswer("S1", "PHONE", "v=0 answer")).has_value());
    ASSERT_FALSE(QCoro::waitFor(s.service->sendIceCandidate("S1", "PHONE", "candidate:1", QString("0"), 0)).has_value());
    ASSERT_FALSE(QCoro::waitFor(s.service->sendAnswer("S2", "TABLET", "v=0 answer")).has_value());
    ASSERT_EQ(s.store.records.size(), 3u);
    // The client took the answer itself; the candidate it never read.
    for (auto it = s.store.records.begin(); it != s.store.records.end(); ++it) {
        if (it->second.get<QString>("type") == "answer" && it->second.get<QString>("sessionId") == "S1") {
            s.store.records.erase(it);
            break;
        }
    }
    QCoro::waitFor(s.service->endSession("S1"));
    ASSERT_EQ(s.store.records.size(), 1u);
    EXPECT_EQ(s.store.records.begin()->second.get<QString>("sessionId"), "S2");
    EXPECT_EQ(s.service->openSessionCount(), 1);

    // A candidate still being written when its session ends goes once it lands.
    s.store.saveDelay = 200ms;
    auto late = s.service->sendIceCandidate("S2", "TABLET", "candidate:9", QString("0"), 0);
    QCoro::waitFor(s.service->endSession("S2"));
    EXPECT_FALSE(QCoro::waitFor(std::move(late)).has_value());
    EXPECT_TRUE(s.store.records.empty());
    EXPECT_EQ(s.service->openSessionCount(), 0);

    // Stopping ends every session still open.
    s.store.saveDelay = 0ms;
    ASSERT_FALSE(QCoro::waitFor(s.service->sendAnswer("S3", "PHONE", "v=0 answer")).has_value());
    QCoro::waitFor(s.service->unregisterServer());
    EXPECT_TRUE(s.store.records.empty());
    EXPECT_EQ(s.service->openSessionCount(), 0);
}

TEST(FolderRecordStore, RoundTripsTypedFieldsAndRefusesWhatOthersMayWrite)
{
    Sandbox sandbox;
    QDir().mkpath(sandbox.path("cloud"));
    QString root = sandbox.path("cloud");
    SyncFolderDrive drive([&] { return root; });
    FolderRecordStore store(drive);
    EXPECT_EQ(*QCoro::waitFor(store.accountStatus()), AccountStatus::Available);
    const QDateTime t = QDateTime(QDate(2026, 12, 7), QTime(12, 0, 1, 250), Qt::UTC);
    Record r{"SignalingMessage", "ABC", {{"sdp", QString("v=0\r\nm=application")}, {"sdpMLineIndex", qint64(3)}, {"processed", false},
                                          {"timestamp", t}, {"targetDeviceId", QString("SRV")}}};
    ASSERT_FALSE(QCoro::waitFor(store.save(r)).has_value());
    // Addressed to a device: in that device's folder.
    const QString file = sandbox.path("cloud/records/iCloud.com.tavro.shared/SignalingMessage/to-SRV/ABC.json");
    ASSERT_TRUE(QFile::exists(file));
    const auto fetched = QCoro::waitFor(store.fetch("SignalingMessage", "ABC"));
    ASSERT_TRUE(fetched.hasValue());
    EXPECT_EQ(fetched->fields, r.fields);

    RecordQuery q{"SignalingMessage", "SRV", false, t.addSecs(-10), std::nullopt};
    auto results = *QCoro::waitFor(store.query(q));
    ASSERT_EQ(results.size(), 1);
    EXPECT_TRUE(results[0].record.has_value());
    q.after = t.addSecs(10);
    EXPECT_TRUE(QCoro::waitFor(store.query(q))->isEmpty());

    // Files others wrote: garbage, wrong types, oversize, a name claiming
    // another place, a link out of the folder.
    const QString dir = sandbox.path("cloud/records/iCloud.com.tavro.shared/SignalingMessage/");
    auto write = [&](const QString &name, const QByteArray &bytes) {
        QFile f(dir + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    };
    write("garbage.json", "{{{{");
    write("wrongtype.json", R"({"fields":{"targetDeviceId":{"type":"string","value":"SRV"},"timestamp":{"type":"int64","value":"x"}}})");
    write("big.json", "{\"fields\":{\"sdp\":{\"type\":\"string\",\"value\":\"" + QByteArray(300000, 'a') + "\"}}}");
    write("liar.json", R"({"recordName":"../../etc","fields":{}})");
    write("deep.json", R"({"fields":{"sdp":{"type":"string","value":"x","extra":[0]}}})");
    write("noname.json", R"({"fields":{"":{"type":"boolean","value":true}}})");
    write(".partial.json", "{");
    QFile::link(sandbox.path("outside.json"), dir + "link.json");
    q.after = std::nullopt;
    q.processed = std::nullopt;
    results = *QCoro::waitFor(store.query(q));
    QStringList bad;
    for (const QueryResult &result : results)
        if (!result.record)
            bad << result.name;
    bad.sort();
    EXPECT_EQ(bad, (QStringList{"big", "deep", "garbage", "liar", "link", "noname", "wrongtype"}));
    for (const QString &name : bad)
        EXPECT_FALSE(QCoro::waitFor(store.remove("SignalingMessage", name)).has_value()) << name.toStdString();
    EXPECT_TRUE(QFile::exists(dir + ".partial.json")) << "another writer's temporary file is left to it";

    // Names that would leave the folder are refused outright.
    for (const char *name : {"../escape", "a/b", "..", ""}) {
        Record hostile{"SignalingMessage", name, {}};
        EXPECT_TRUE(QCoro::waitFor(store.save(hostile)).has_value()) << name;
    }
    EXPECT_FALSE(QFile::exists(sandbox.path("cloud/records/iCloud.com.tavro.shared/escape.json")));

    root.clear();
    EXPECT_EQ(*QCoro::waitFor(store.accountStatus()), AccountStatus::NoAccount);
    EXPECT_EQ(CloudKitService::accountStatusText(AccountStatus::NoAccount), "Choose a cloud folder to reach this server from anywhere");
}

TEST(CloudKitService, OffersAreHandedOnBeforeTheCandidatesOfThePoll)
{
    Signaling s;
    // Record names are random: a candidate's may sort before its offer's.
    s.message("0-candidate", "ice-candidate", 1, {{"candidate", QString("candidate:1")}});
    s.message("1-candidate", "ice-candidate", 2, {{"candidate", QString("candidate:2")}});
    s.message("z-offer", "offer", 3, {{"sdp", QString("v=0")}});
    runTask(s.service->pollForMessages());
    ASSERT_EQ(s.messages.size(), 3);
    EXPECT_EQ(s.messages[0].value("type"), "offer");
    EXPECT_EQ(s.messages[1].value("candidate"), "candidate:2") << "then by the time they were written";
    EXPECT_EQ(s.messages[2].value("candidate"), "candidate:1");
}
