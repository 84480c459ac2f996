// What the system knows of the device behind a link: whether it is wireless,
// its link speed and its model.  The kernel is asked through ioctls on the
// link's name, which answer for the network namespace the program runs in;
// the model comes from the PCI device the driver names and the system's PCI
// ID database.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "win32.h"

namespace provider {

struct DeviceDetails {
    bool wireless = false;
    DWORD speed = 0;    // bits per second, clamped to 32 bits; 0 when unknown
    std::uint64_t speedBits = 0;  // bits per second, whole; 0 when unknown
    std::string model;  // "Vendor Device", or empty
};

// Asks the kernel about link `name`; `sysRoot` ("/sys") and `pciIds` name
// where the device attributes and the ID database are read.
DeviceDetails QueryDevice(const std::string& name, const std::string& sysRoot, const std::string& pciIds);

// The database paths Debian and Red Hat use: the first that is a readable
// regular file.
std::string DefaultPciIdsPath();

// "Vendor Device" for the ids in the text of a pci.ids database; the vendor
// alone when the device is not listed; empty when the vendor is not.
std::string LookUpPciModel(std::string_view database, unsigned vendor, unsigned device);

// The model of a device from the pci.ids database at `pciIds`, as
// LookUpPciModel gives it; empty when the database cannot be read (missing,
// over 16 MiB, or no regular file).  Each answer is remembered for the run.
std::string PciModelFromFile(const std::string& pciIds, unsigned vendor, unsigned device);

// A speed the kernel gives in Mbit/s as bits per second, clamped to 32 bits;
// 0 for an unknown speed (0 or all ones).
DWORD SpeedFromMbps(std::uint32_t mbps);
// The same, whole in 64 bits.
std::uint64_t SpeedBitsFromMbps(std::uint32_t mbps);

// The interface's description: its name, followed by the device model in
// parentheses when known.
std::string InterfaceDescription(const std::string& name, const std::string& model);

}  // namespace provider
