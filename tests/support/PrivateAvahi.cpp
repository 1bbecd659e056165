#include "tests/support/PrivateAvahi.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <cctype>
#include <unistd.h>

namespace tavrolin::test {

namespace {

bool writeFile(const QString &path, const QString &text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text.toUtf8()) == text.toUtf8().size();
}

QString findTool(const char *tool)
{
    const QString name = QString::fromLatin1(tool);
    QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin"});
    return path;
}

} // namespace

PrivateAvahi::PrivateAvahi(const Sandbox &sandbox) : m_dir(sandbox.path("avahi"))
{
    QDir().mkpath(m_dir);
    writeFile(m_dir + "/bus.conf",
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig><type>system</type><listen>unix:path=" + busSocket() + "</listen>"
              "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
              "<allow send_type=\"method_call\"/><allow send_type=\"signal\"/><allow send_type=\"method_return\"/>"
              "<allow send_type=\"error\"/><allow receive_type=\"method_call\"/><allow receive_type=\"signal\"/>"
              "<allow receive_type=\"method_return\"/><allow receive_type=\"error\"/></policy></busconfig>\n");
    writeFile(m_dir + "/avahi.conf",
              "[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\nenable-dbus=yes\n"
              "ratelimit-interval-usec=1000000\nratelimit-burst=1000\n"
              "[wide-area]\nenable-wide-area=no\n"
              "[publish]\npublish-hinfo=no\npublish-workstation=no\n");
}

QString PrivateAvahi::unavailableReason()
{
    for (const char *tool : {"dbus-daemon", "avahi-daemon", "avahi-browse", "avahi-publish", "unshare"}) {
        if (findTool(tool).isEmpty())
            return QStringLiteral("%1 is not installed (scripts/setup installs it)").arg(tool);
    }
    if (::geteuid() != 0)
        return QStringLiteral("a private Avahi daemon needs root for its own /run");
    return {};
}

QProcessEnvironment PrivateAvahi::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SYSTEM_BUS_ADDRESS", busAddress());
    return env;
}

bool PrivateAvahi::startBus()
{
    m_bus = std::make_unique<ChildProcess>(findTool("dbus-daemon"),
                                           QStringList{"--config-file=" + m_dir + "/bus.conf", "--nofork", "--nopidfile"});
    return waitUntil([&] { return QFile::exists(busSocket()); }, std::chrono::seconds(10));
}

bool PrivateAvahi::startAvahi()
{
    // env, unshare and the shell each exec the next: the child's pid is the
    // daemon's.
    m_avahi = std::make_unique<ChildProcess>(
        "env",
        QStringList{"DBUS_SYSTEM_BUS_ADDRESS=" + busAddress(), findTool("unshare"), "--mount", "--propagation", "private", "sh", "-c",
                    "mount -t tmpfs tmpfs /run && exec " + findTool("avahi-daemon") + " -f " + m_dir
                        + "/avahi.conf --no-drop-root --no-chroot --no-rlimits --no-proc-title"});
    return m_avahi->running() && waitUntil([&] { return daemonAnswers(); }, std::chrono::seconds(15));
}

bool PrivateAvahi::daemonAnswers() const
{
    QProcess status;
    status.setProcessEnvironment(environment());
    status.start(findTool("avahi-browse"), {"-at"});
    return status.waitForFinished(5000) && status.exitStatus() == QProcess::NormalExit && status.exitCode() == 0;
}

QStringList PrivateAvahi::resolved(const QString &type) const
{
    QProcess browse;
    browse.setProcessEnvironment(environment());
    browse.start(findTool("avahi-browse"), {"-rpt", type});
    if (!browse.waitForFinished(15000))
        browse.kill();
    QStringList lines;
    for (const QString &line : QString::fromUtf8(browse.readAllStandardOutput()).split('\n')) {
        if (line.startsWith("=;"))
            lines.append(line);
    }
    return lines;
}

QString PrivateAvahi::waitForInstance(const QString &type, const QString &name, std::chrono::milliseconds timeout) const
{
    QString found;
    waitUntil([&] {
        for (const QString &line : resolved(type)) {
            if (unescape(line.section(';', 3, 3)) == name)
                found = line;
        }
        return !found.isEmpty();
    }, timeout);
    return found;
}

std::unique_ptr<ChildProcess> PrivateAvahi::publishWithTool(const QString &name, const QString &type, int port) const
{
    return std::make_unique<ChildProcess>("env", QStringList{"DBUS_SYSTEM_BUS_ADDRESS=" + busAddress(), findTool("avahi-publish"),
                                                             "-s", name, type, QString::number(port)});
}

QString PrivateAvahi::unescape(const QString &field)
{
    QByteArray out;
    const QByteArray in = field.toUtf8();
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] == '\\' && i + 3 < in.size() && std::isdigit(uchar(in[i + 1]))) {
            out.append(char(in.mid(i + 1, 3).toInt()));
            i += 3;
        } else {
            out.append(in[i]);
        }
    }
    return QString::fromUtf8(out);
}

} // namespace tavrolin::test
