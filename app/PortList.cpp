#include "app/PortList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

#include "comm/TKelvorComm32.h"
#if !defined(_WIN32)
#include "platform/win32/posix/FaultInjection.h"
#endif

namespace {

using KelvorComm32::TCommSerialPortInfo;

QString TtyRoot()
{
    const QByteArray env = qgetenv("KELVORCOMM_SYSFS_TTY");
    return env.isEmpty() ? QStringLiteral("/sys/class/tty") : QString::fromLocal8Bit(env);
}

QString ReadLine(const QString& Path)
{
    QFile f(Path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readLine()).trimmed();
}

#if !defined(_WIN32)
// The device file a port name opens, with links resolved.
QString DeviceOf(const QString& PortName)
{
    const QString path = QString::fromStdString(win32posix::ResolveDevicePath(PortName.toStdU16String()));
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}
#endif

} // namespace

QString UsbPortTip(const QString& Root, const QString& Name)
{
    // The tty's device sits below the USB device that carries the
    // descriptors (product, serial number): walk up to it.
    QString dir = QFileInfo(Root + QLatin1Char('/') + Name + QStringLiteral("/device")).canonicalFilePath();
    for (int depth = 0; !dir.isEmpty() && dir != QLatin1String("/") && depth < 8; ++depth) {
        if (QFileInfo::exists(dir + QStringLiteral("/idVendor"))) {
            QStringList parts;
            const std::pair<const char*, QString> fields[] = {
                {"product", QStringLiteral("产品：")},
                {"manufacturer", QStringLiteral("厂商：")},
                {"serial", QStringLiteral("序列号：")},
            };
            for (const auto& [file, label] : fields) {
                const QString value = ReadLine(dir + QLatin1Char('/') + QLatin1String(file));
                if (!value.isEmpty())
                    parts << label + value;
            }
            return parts.join(QLatin1Char('\n'));
        }
        dir = QFileInfo(dir).path();
    }
    return {};
}

std::vector<TPortEntry> SystemPortEntries(int NumberedPorts)
{
#if !defined(_WIN32)
    // The devices COM01..COM16 open, so a port behind one of them (ttyS0
    // behind COM01) is not offered twice.
    QStringList reached;
    for (int n = 1; n <= NumberedPorts; ++n)
        reached << DeviceOf(QString::fromStdU16String(TCommSerialPortInfo::PortName(n)));
#endif
    const QString root = TtyRoot();
    std::vector<TPortEntry> entries;
    TCommSerialPortInfo info;
    for (const UnicodeString& name : *info.PortList) {
        const int n = TCommSerialPortInfo::PortNo(name);
        if (n >= 1 && n <= NumberedPorts)
            continue;
        const QString text = QString::fromStdU16String(name);
        if (text.isEmpty() || std::any_of(entries.begin(), entries.end(), [&](const TPortEntry& e) {
                return e.Name.compare(text, Qt::CaseInsensitive) == 0;
            }))
            continue;
#if !defined(_WIN32)
        if (n == 0 && reached.contains(DeviceOf(text)))
            continue;
#endif
        entries.push_back({text, n == 0 ? UsbPortTip(root, text) : QString()});
    }
    return entries;
}
