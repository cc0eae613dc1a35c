#include "serial/PortInfo.h"

#include <QRegularExpression>
// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <devguid.h>
// clang-format on

namespace {
QString property(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD which) {
    wchar_t text[512] = {};
    return ::SetupDiGetDeviceRegistryPropertyW(set, &device, which, nullptr,
                                               reinterpret_cast<BYTE *>(text), sizeof text - 2,
                                               nullptr)
               ? QString::fromWCharArray(text)
               : QString();
}

QString registryText(HKEY key, const wchar_t *name) {
    wchar_t text[256] = {};
    DWORD size = sizeof text - 2, type = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(text), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    return QString::fromWCharArray(text);
}

// "USB\VID_0403&PID_6001\A50285BI": the USB ids and, after the last backslash, the serial number
// the adapter reports (Windows makes one up, with an ampersand, where there is none).
void usbIds(const QString &instance, PortFacts &f) {
    static const QRegularExpression ids(QStringLiteral("VID_([0-9A-F]{4})&PID_([0-9A-F]{4})"),
                                        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = ids.match(instance);
    if (!m.hasMatch()) return;
    f.vendorId = m.captured(1).toInt(nullptr, 16);
    f.productId = m.captured(2).toInt(nullptr, 16);
    const QString serial = instance.section(QLatin1Char('\\'), -1);
    if (!serial.contains(QLatin1Char('&')) && serial != instance) f.serialNumber = serial;
}
} // namespace

QList<PortFacts> SystemPorts() {
    QList<PortFacts> ports;
    // The ports Windows has installed devices for, with what their drivers say of them.
    HDEVINFO set = ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &device); ++i) {
            HKEY key = ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                              KEY_READ);
            if (key == INVALID_HANDLE_VALUE) continue;
            PortFacts f;
            f.name = registryText(key, L"PortName");
            // An FTDI adapter's latency timer is a setting of its driver, kept here.
            DWORD latency = 0, size = sizeof latency, type = 0;
            if (::RegQueryValueExW(key, L"LatencyTimer", nullptr, &type,
                                   reinterpret_cast<BYTE *>(&latency), &size) == ERROR_SUCCESS &&
                type == REG_DWORD)
                f.latencyMs = int(latency);
            ::RegCloseKey(key);
            if (!f.name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) continue;
            f.location = QStringLiteral("\\\\.\\") + f.name;
            f.description = property(set, device, SPDRP_DEVICEDESC);
            f.manufacturer = property(set, device, SPDRP_MFG);
            wchar_t instance[512] = {};
            if (::SetupDiGetDeviceInstanceIdW(set, &device, instance, 511, nullptr))
                usbIds(QString::fromWCharArray(instance), f);
            ports.append(f);
        }
        ::SetupDiDestroyDeviceInfoList(set);
    }
    // And every port the system maps, also one no installed device stands for.
    HKEY map = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                        &map) == ERROR_SUCCESS) {
        wchar_t name[256], value[256];
        for (DWORD i = 0;; ++i) {
            DWORD nameSize = 255, valueSize = sizeof value - 2, type = 0;
            if (::RegEnumValueW(map, i, name, &nameSize, nullptr, &type,
                                reinterpret_cast<BYTE *>(value), &valueSize) != ERROR_SUCCESS)
                break;
            if (type != REG_SZ) continue;
            value[valueSize / 2] = 0;
            const QString port = QString::fromWCharArray(value);
            bool known = false;
            for (const PortFacts &p : ports)
                known = known || p.name.compare(port, Qt::CaseInsensitive) == 0;
            if (!known) ports.append({QStringLiteral("\\\\.\\") + port, port});
        }
        ::RegCloseKey(map);
    }
    return ports;
}
