// The port list on Windows: every COMn the system has a device name for
// (QueryDosDevice), with the friendly name Device Manager shows where the
// Setup API has one ("USB Serial Port (COM4)"), else the device it names
// ("\Device\Serial0"), and a USB adapter's identity from the configuration
// manager. Nothing is opened.
#include "serial_backend.h"
#include "usb_ids.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
// clang-format off
#include <windows.h>
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
#include <cfgmgr32.h>
// clang-format on

namespace {

// Adds COMn to the list once; returns its entry (null when the list is full).
serial_port_info* add_port(serial_port_info* ports, size_t max, size_t* count, const char* name)
{
    for (size_t i = 0; i < *count; ++i) {
        if (_stricmp(ports[i].name, name) == 0) return &ports[i];
    }
    if (*count == max) return nullptr;
    serial_port_info* port = &ports[(*count)++];
    snprintf(port->name, sizeof port->name, "%s", name);
    port->detail[0] = '\0';
    port->usb = serial_usb_identity{};
    return port;
}

// Location paths of a device node: a list of paths, each ended by a NUL;
// false when it has none.
bool location_paths(DEVINST node, char* paths, ULONG size)
{
    ULONG length = size - 2;
    memset(paths, 0, size);
    return CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_LOCATION_PATHS, nullptr, paths, &length,
                                             0) == CR_SUCCESS;
}

// Whether the computer has more than one USB host controller: each has its
// own USBROOT(0), so then a jack's form names its controller. Told from the
// USB devices' location paths (the root hubs', the hubs' and the devices').
bool several_usb_controllers()
{
    HDEVINFO devices = SetupDiGetClassDevsA(&GUID_DEVCLASS_USB, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return false;
    char first[SERIAL_USB_TEXT] = "";
    bool several = false;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; !several && SetupDiEnumDeviceInfo(devices, i, &info); ++i) {
        char paths[1024];
        if (!location_paths(info.DevInst, paths, sizeof paths)) continue;
        for (const char* p = paths; *p != '\0'; p += strlen(p) + 1) {
            char controller[SERIAL_USB_TEXT];
            if (!usb_controller_from_path(p, controller, sizeof controller)) continue;
            if (first[0] == '\0') snprintf(first, sizeof first, "%s", controller);
            several = several || strcmp(first, controller) != 0;
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
    return several;
}

// The USB adapter behind a COM port's device node, from the configuration
// manager: up from the port (FTDI's driver node, a composite device's
// interface) to the USB device, which has the serial number. Each node's
// location path says where it is plugged in; the nearest one with a USB
// location wins (an interface's names the interface).
void add_usb_identity(DEVINST node, bool several_controllers, serial_usb_identity* usb)
{
    for (int up = 0; up < 4; ++up) {
        char id[MAX_DEVICE_ID_LEN] = "";
        if (CM_Get_Device_IDA(node, id, sizeof id, 0) != CR_SUCCESS) return;
        serial_usb_identity here{};
        if (usb_identity_from_instance_id(id, &here)) {
            if (usb->vid[0] == '\0') {
                memcpy(usb->vid, here.vid, sizeof here.vid);
                memcpy(usb->pid, here.pid, sizeof here.pid);
            }
            if (usb->serial[0] == '\0') memcpy(usb->serial, here.serial, sizeof here.serial);
        }
        char paths[1024];
        if (usb->location[0] == '\0' && location_paths(node, paths, sizeof paths)) {
            for (const char* p = paths; *p != '\0' && usb->location[0] == '\0'; p += strlen(p) + 1) {
                usb_location_from_path(p, several_controllers, usb->location, sizeof usb->location);
            }
        }
        DEVINST parent = 0;
        if (usb_instance_id_is_device(id) || CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) break;
        node = parent;
    }
    // The port of a plain adapter is its one interface.
    if (usb->location[0] != '\0' && strchr(usb->location, ':') == nullptr) {
        size_t used = strlen(usb->location);
        snprintf(usb->location + used, sizeof usb->location - used, ":1.0");
    }
    if (usb->vid[0] == '\0') *usb = serial_usb_identity{};
}

// The ports of the Ports device class, with their friendly names.
void add_setup_ports(serial_port_info* ports, size_t max, size_t* count)
{
    const bool several_controllers = several_usb_controllers();
    HDEVINFO devices = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &info); ++i) {
        HKEY key = SetupDiOpenDevRegKey(devices, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char name[64] = "";
        DWORD size = sizeof name - 1;
        DWORD type = 0;
        LONG found = RegQueryValueExA(key, "PortName", nullptr, &type,
                                      reinterpret_cast<BYTE*>(name), &size);
        RegCloseKey(key);
        if (found != ERROR_SUCCESS || type != REG_SZ || port_number_from_name(name) < 0) continue;
        serial_port_info* port = add_port(ports, max, count, name);
        if (port == nullptr) continue;
        BYTE friendly[256] = {};
        if (SetupDiGetDeviceRegistryPropertyA(devices, &info, SPDRP_FRIENDLYNAME, nullptr, friendly,
                                              sizeof friendly - 1, nullptr)) {
            snprintf(port->detail, sizeof port->detail, "%s", reinterpret_cast<char*>(friendly));
        }
        add_usb_identity(info.DevInst, several_controllers, &port->usb);
    }
    SetupDiDestroyDeviceInfoList(devices);
}

// Under Wine a COM port can be a link in the prefix's dosdevices folder
// (com4 -> /dev/ttyUSB0), which Wine reaches by name but lists nowhere. The
// folder is found from where Wine keeps drive C: and read through drive Z:,
// Wine's window on the Unix root. Nothing at all on Windows itself.
void add_wine_links(serial_port_info* ports, size_t max, size_t* count)
{
    using unix_name_fn = char* (*)(const wchar_t*);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto unix_name = kernel == nullptr ? nullptr
                                       : reinterpret_cast<unix_name_fn>(reinterpret_cast<void*>(
                                             GetProcAddress(kernel, "wine_get_unix_file_name")));
    if (unix_name == nullptr) return;
    char* drive_c = unix_name(L"C:\\");  // ".../dosdevices/c:/", on Wine's heap
    if (drive_c == nullptr) return;
    char pattern[MAX_PATH] = "Z:";
    snprintf(pattern + 2, sizeof pattern - 2, "%s", drive_c);
    HeapFree(GetProcessHeap(), 0, drive_c);
    char* end = strstr(pattern, "/c:");
    if (end == nullptr) return;
    snprintf(end, sizeof pattern - static_cast<size_t>(end - pattern), "/com*");
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        char name[16];
        snprintf(name, sizeof name, "%s", found.cFileName);
        CharUpperA(name);
        serial_port_info* port = port_number_from_name(name) >= 0 ? add_port(ports, max, count, name) : nullptr;
        if (port != nullptr && port->detail[0] == '\0') {
            snprintf(port->detail, sizeof port->detail, "(a link in Wine's dosdevices)");
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

}  // namespace

size_t os_list_ports(serial_port_info* ports, size_t max, bool usb_only)
{
    // Every COM port is in the scan already; none is "USB only" here.
    if (usb_only) return 0;
    size_t count = 0;
    // Asked name by name: the whole device list (QueryDosDevice with no
    // name) leaves out ports that a link makes, as Wine's COM links do.
    // Only the ports the driver can open: listing COM100 and above would
    // offer names that -c then refuses.
    for (int n = 1; n <= SERIAL_MAX_PORT; ++n) {
        char name[16], target[512];
        snprintf(name, sizeof name, "COM%d", n);
        if (QueryDosDeviceA(name, target, sizeof target) == 0) continue;
        serial_port_info* port = add_port(ports, max, &count, name);
        if (port != nullptr) snprintf(port->detail, sizeof port->detail, "%s", target);
    }
    // The friendly name replaces the device's inner name where there is one.
    add_setup_ports(ports, max, &count);
    add_wine_links(ports, max, &count);
    std::sort(ports, ports + count, [](const serial_port_info& a, const serial_port_info& b) {
        return port_number_from_name(a.name) < port_number_from_name(b.name);
    });
    return count;
}
