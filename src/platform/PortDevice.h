// SPDX-License-Identifier: MIT
// What stands behind a port on this machine, beyond the path it opens: which device it is (so
// that the same one is found again after it was pulled and came back under another name), what
// it is (USB maker, product and serial number), whether it could be opened now, and why the last
// open failed. Nothing here opens a device: opening a serial port raises its lines, and a board
// that resets on DTR would reset at every look.
#pragma once

#include "PortNames.h"
#include "Serial.h"

#include <string>
#include <vector>

namespace platform
{

// The device a port was opened on, recorded at the open. It is found again by its name: for a
// detected device its /dev/serial/by-id name when it has one (the kernel may give it another
// ttyUSB number when it comes back), else the path mapped or detected, a link of the user's
// choice included. A name is not enough for a USB device: the next adapter plugged in may get
// the same ttyUSB number, so the device under the name must also be the same USB device.
struct PortIdentity {
    int comNumber = 0;
    PortTarget target;
    std::string byId; // empty: the target itself identifies the device
    // The USB device behind the node: vendor and product with the serial number (or, without
    // one, the USB port it is plugged into), and the interface and port on it. Empty: not USB.
    std::string usb;
    // Named by a number the system hands to the next device of its kind: a pseudo-terminal
    // mapped by its own /dev/pts name, which another program's terminal soon gets.
    bool numberReused = false;

    // Whether the device can be found again after it went away. One that cannot is opened
    // again only when the user asks. A port on another machine always can: its address stays.
    bool canComeBack() const { return !numberReused; }
};

PortIdentity IdentifyPort(int comNumber);
// The path to open the identified device at now, "loopback" for a plugged-in loopback, the
// address for a port on another machine (whether its server is there is found out by
// connecting), or empty while it is away, while another device has its name, and always for a
// device that cannot come back. Everything that opens a port without the user asking finds the
// device here.
std::string LocatePort(const PortIdentity &identity);
// While the port is open: false once the name it was opened by leads nowhere (a link that udev
// or a script took away without the device hanging up).
bool PortNamePresent(const PortIdentity &identity);

enum class DeviceState { Available, Missing, NoAccess, InUse };
DeviceState ProbeDevice(const std::string &path);

struct DeviceInfo {
    std::string byIdName; // the file name under /dev/serial/by-id, if any
    std::string manufacturer, product, serial, vendorId, productId; // USB, from sysfs
};
DeviceInfo DescribeDevice(const std::string &path);

// Where sysfs is read from; "/sys" by default and after an empty path. Tests hand it a made-up
// tree to play USB devices with pseudo-terminals.
void SetSysfsRootForTesting(const std::string &root);

// The group that owns the device node, or empty.
std::string DeviceGroup(const std::string &path);
// Who has rights on the device node. `groupToJoin` is the group whose members may read and
// write it, empty when there is none to advise: joining a group without both rights opens
// nothing, and joining root's group would hand out far more than one device.
struct DeviceRights {
    std::string owner; // the owner's user name (its number when it has none), empty: no node
    std::string groupToJoin;
};
DeviceRights DeviceAccess(const std::string &path);
// The processes that have the device open, as "name (PID n)", this process excluded.
std::vector<std::string> DeviceHolders(const std::string &path);

// Why the last open on this machine failed, as far as the layer below the component knows.
// A port on another machine fails with one of the kinds from BadAddress on: its address cannot
// be used (target.addressProblem), the host name is not known, the server refused the
// connection (or ended it at once, as ser2net does while another client has the port), the host
// or its network cannot be reached, nothing answered within the connect time-out, or the server
// does not speak RFC 2217 (it closed the connection before any Telnet command, or what it sent
// is no Telnet at all). The host and port are in `target`.
struct OpenProblem {
    enum class Kind {
        None,
        NotMapped,
        NotPresent,
        NotSerial,
        NoAccess,
        InUse,
        SettingRefused,
        Other,
        BadAddress,
        HostNotFound,
        Refused,
        Unreachable,
        TimedOut,
        NotRfc2217,
    };
    Kind kind = Kind::None;
    int comNumber = 0;
    PortTarget target;
    DWORD error = ERROR_SUCCESS;
    DWORD baudRate = 0; // SettingRefused: the rate asked for
    // What the system said, in its own words ("connect 127.0.0.1:2000: Connection refused");
    // empty where the kind says it all.
    std::string detail;
};
OpenProblem LastOpenProblem();

// Called by the entry points: an open starts (clearing what an earlier one left), an open or a
// setting failed with the thread's last error.
void NoteOpenStart(int comNumber, const PortTarget &target);
void NoteOpenFailure(DWORD error);
// The system's words for the failure of the open in progress (before NoteOpenFailure).
void NoteOpenDetail(const std::string &detail);
void NoteSettingRefused(const DCB &dcb);

} // namespace platform
