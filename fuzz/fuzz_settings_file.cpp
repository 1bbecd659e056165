// The user's settings file, as a text editor, a sync conflict or a damaged
// disk may leave it, through the readers that take names and paths from it:
// the server's cloud id always names a plain file (it names folders and
// records in the shared folder) and stays the same once read; the chosen
// storage and cloud folders are read as given, never resolved to anything
// beyond themselves.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>

#include "cloud/ServerDeviceId.h"
#include "fuzz/FuzzCheck.h"
#include "platform/SyncFolderDrive.h"
#include "platform/Validators.h"

using namespace tavrolin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static QTemporaryDir dir((QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath()) + QStringLiteral("/tavrolin-fuzz-XXXXXX"));
    const QString path = dir.path() + QStringLiteral("/settings.ini");
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    QSettings settings(path, QSettings::IniFormat);
    const QString id = serverDeviceId(settings);
    FUZZ_REQUIRE(Validators::isPlainFileName(id));
    FUZZ_REQUIRE(serverDeviceId(settings) == id);
    FUZZ_REQUIRE(QSettings(path, QSettings::IniFormat).value(QStringLiteral("CloudKitDeviceId")).toString() == id);

    // The cloud folder: a folder that exists, as an absolute path, or none.
    const QString stored = settings.value(QString::fromLatin1(SyncFolderDrive::kSettingKey)).toString();
    SyncFolderDrive drive([&] { return stored; });
    if (const auto root = drive.rootFolder())
        FUZZ_REQUIRE(QFileInfo(*root).isAbsolute() && QFileInfo(*root).isDir());
    return 0;
}
