#include "DeviceInfo.h"

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>

#include "NetFiles.h"
#include "ProcFiles.h"

namespace provider {

namespace {

// SIOCGIWNAME of the wireless extensions: answers only for wireless links.
// Its header clashes with <net/if.h>, so the number is written here.
constexpr unsigned long kSiocGiwName = 0x8B01;

class Socket {
public:
    Socket() : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

bool NameRequest(const std::string& name, ifreq& request) {
    std::memset(&request, 0, sizeof request);
    if (name.empty() || name.size() >= IFNAMSIZ) return false;
    std::memcpy(request.ifr_name, name.data(), name.size());
    return true;
}

bool EthtoolCall(int fd, const std::string& name, void* data) {
    ifreq request;
    if (!NameRequest(name, request)) return false;
    request.ifr_data = static_cast<char*>(data);
    return ::ioctl(fd, SIOCETHTOOL, &request) == 0;
}

// The link speed in Mbit/s: the link-settings call, whose first round tells
// how many words its mode masks take, then the older settings call.
std::optional<std::uint32_t> LinkSpeedMbps(int fd, const std::string& name) {
    // Three masks of at most 127 words each follow the settings record.
    alignas(8) unsigned char buffer[sizeof(ethtool_link_settings) + 3 * 127 * sizeof(std::uint32_t)] = {};
    ethtool_link_settings settings{};
    settings.cmd = ETHTOOL_GLINKSETTINGS;
    std::memcpy(buffer, &settings, sizeof settings);
    if (EthtoolCall(fd, name, buffer)) {
        std::memcpy(&settings, buffer, sizeof settings);
        if (settings.link_mode_masks_nwords < 0) {
            settings.link_mode_masks_nwords = static_cast<std::int8_t>(-settings.link_mode_masks_nwords);
            settings.cmd = ETHTOOL_GLINKSETTINGS;
            std::memset(buffer, 0, sizeof buffer);
            std::memcpy(buffer, &settings, sizeof settings);
            if (EthtoolCall(fd, name, buffer)) {
                std::memcpy(&settings, buffer, sizeof settings);
                return settings.speed;
            }
        }
    }
    ethtool_cmd command{};
    command.cmd = ETHTOOL_GSET;
    if (EthtoolCall(fd, name, &command)) return ethtool_cmd_speed(&command);
    return std::nullopt;
}

// The PCI address of the device behind a link, as its driver reports it.
std::string BusAddress(int fd, const std::string& name) {
    ethtool_drvinfo info{};
    info.cmd = ETHTOOL_GDRVINFO;
    if (!EthtoolCall(fd, name, &info)) return {};
    const std::string bus(info.bus_info, strnlen(info.bus_info, sizeof info.bus_info));
    // Only a PCI address ("0000:00:03.0") names a directory we read.
    if (bus.empty() || bus.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos ||
        bus.find("..") != std::string::npos || bus.find(':') == std::string::npos)
        return {};
    return bus;
}

std::optional<unsigned> ReadHexAttribute(const std::string& path) {
    std::string text;
    DWORD error = NO_ERROR;
    if (!ReadFileAt(path, text, error, 64)) return std::nullopt;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 16);
    if (end == text.c_str() || value > 0xffff) return std::nullopt;
    return static_cast<unsigned>(value);
}

// The four hexadecimal digits at the start of a database line.
bool HexWord(std::string_view text, unsigned& value) {
    if (text.size() < 4) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + 4, value, 16);
    return ec == std::errc() && end == text.data() + 4;
}

// The name after "XXXX  " on a database line.
std::string_view NameAfterId(std::string_view line) {
    std::string_view rest = line.substr(4);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\r')) rest.remove_suffix(1);
    return rest;
}

// The offset of the vendor line of the first vendor at or after the line
// that starts at `from`; npos at the device class section ("C xx"), which
// ends the vendors, or at the end.  `id` is that vendor's id.
std::size_t NextVendorLine(std::string_view database, std::size_t from, unsigned& id) {
    while (from < database.size()) {
        const char c = database[from];
        if (c == 'C' && from + 1 < database.size() && database[from + 1] == ' ') return std::string_view::npos;
        if (c != '\t' && c != '#' && HexWord(database.substr(from), id)) return from;
        const std::size_t end = database.find('\n', from);
        if (end == std::string_view::npos) return std::string_view::npos;
        from = end + 1;
    }
    return std::string_view::npos;
}

// The vendor's line, found by halving: the database lists its vendors in
// ascending order, so a lookup reads a few dozen lines of the megabyte.
std::size_t FindVendorSorted(std::string_view database, unsigned vendor) {
    const auto lineAt = [database](std::size_t pos) {
        if (pos == 0) return std::size_t{0};
        const std::size_t end = database.find('\n', pos - 1);
        return end == std::string_view::npos ? database.size() : end + 1;
    };
    // The first position whose next vendor line is this vendor's or later.
    std::size_t low = 0, high = database.size();
    while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        unsigned id = 0;
        const std::size_t line = NextVendorLine(database, lineAt(mid), id);
        if (line == std::string_view::npos || id >= vendor)
            high = mid;
        else
            low = mid + 1;
    }
    unsigned id = 0;
    const std::size_t line = NextVendorLine(database, lineAt(low), id);
    return line != std::string_view::npos && id == vendor ? line : std::string_view::npos;
}

// The vendor's line, read line by line: for a database out of order.
std::size_t FindVendorInOrder(std::string_view database, unsigned vendor) {
    unsigned id = 0;
    for (std::size_t line = NextVendorLine(database, 0, id); line != std::string_view::npos;) {
        if (id == vendor) return line;
        const std::size_t end = database.find('\n', line);
        if (end == std::string_view::npos) break;
        line = NextVendorLine(database, end + 1, id);
    }
    return std::string_view::npos;
}

}  // namespace

std::string LookUpPciModel(std::string_view database, unsigned vendor, unsigned device) {
    std::size_t at = FindVendorSorted(database, vendor);
    if (at == std::string_view::npos) at = FindVendorInOrder(database, vendor);
    if (at == std::string_view::npos) return {};
    database.remove_prefix(at);
    std::size_t end = database.find('\n');
    const std::string vendorName(NameAfterId(database.substr(0, end)));
    // The vendor's devices: lines with one tab, up to the next vendor line.
    while (end != std::string_view::npos) {
        database.remove_prefix(end + 1);
        end = database.find('\n');
        const std::string_view line = database.substr(0, end);
        if (line.empty() || line.front() == '#') continue;
        if (line.front() != '\t') break;
        unsigned id = 0;
        if (line.size() < 2 || line[1] == '\t') continue;
        if (HexWord(line.substr(1), id) && id == device) {
            const std::string_view deviceName = NameAfterId(line.substr(1));
            return deviceName.empty() ? vendorName : vendorName + " " + std::string(deviceName);
        }
    }
    return vendorName;
}

std::string PciModelFromFile(const std::string& pciIds, unsigned vendor, unsigned device) {
    // The database is a megabyte of text and a device's model does not
    // change while the program runs: each (database, vendor, device) is
    // looked up once.
    static std::mutex mutex;
    static std::map<std::tuple<std::string, unsigned, unsigned>, std::string> cache;
    const std::lock_guard<std::mutex> lock(mutex);
    const auto key = std::make_tuple(pciIds, vendor, device);
    if (const auto it = cache.find(key); it != cache.end()) return it->second;
    // Mapped rather than read: the lookup touches a few of its pages.
    std::string model;
    struct stat info {};
    DWORD error = NO_ERROR;
    const FileHandle file = OpenRegularFile(pciIds, info, error);
    if (file && info.st_size > 0 && info.st_size <= (16 << 20)) {
        const auto size = static_cast<std::size_t>(info.st_size);
        void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file.get(), 0);
        if (map != MAP_FAILED) {
            model = LookUpPciModel(std::string_view(static_cast<const char*>(map), size), vendor, device);
            ::munmap(map, size);
        }
    }
    if (cache.size() < 256) cache.emplace(key, model);
    return model;
}

DWORD SpeedFromMbps(std::uint32_t mbps) {
    const std::uint64_t bits = SpeedBitsFromMbps(mbps);
    return bits > 0xffffffffu ? 0xffffffffu : static_cast<DWORD>(bits);
}

std::uint64_t SpeedBitsFromMbps(std::uint32_t mbps) {
    if (mbps == 0 || mbps == 0xffffffffu) return 0;
    return std::uint64_t{mbps} * 1000000u;
}

std::string InterfaceDescription(const std::string& name, const std::string& model) {
    return model.empty() ? name : name + " (" + model + ")";
}

std::string DefaultPciIdsPath() {
    for (const char* path : {"/usr/share/misc/pci.ids", "/usr/share/hwdata/pci.ids", "/usr/share/pci.ids"}) {
        struct stat info {};
        if (::stat(path, &info) == 0 && S_ISREG(info.st_mode) && ::access(path, R_OK) == 0) return path;
    }
    return {};
}

namespace {

// "0000:00:03.0": hexadecimal digits, colons and dots, with a colon.
bool LooksLikePciAddress(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789abcdefABCDEF:.") == std::string_view::npos &&
           text.find("..") == std::string_view::npos && text.find(':') != std::string_view::npos;
}

std::string LinkTarget(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    return n > 0 && static_cast<std::size_t>(n) < sizeof target ? std::string(target, static_cast<std::size_t>(n))
                                                                : std::string();
}

std::string_view LastComponent(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool Exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

DeviceDetails DeviceFromFiles(const std::string& name, const std::string& sysRoot, const std::string& pciIds) {
    DeviceDetails details;
    if (!IsSafeLinkName(name)) return details;
    const std::string link = sysRoot + "/class/net/" + name;
    details.wireless = Exists(link + "/wireless") || Exists(link + "/phy80211");
    std::string text;
    DWORD error = NO_ERROR;
    if (ReadFileAt(link + "/speed", text, error, 64)) {
        // A decimal count of Mbit/s and a line feed; -1 when unknown.
        std::string_view digits(text);
        while (!digits.empty() && (digits.back() == '\n' || digits.back() == ' ')) digits.remove_suffix(1);
        std::uint32_t mbps = 0;
        const auto [last, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), mbps);
        if (!digits.empty() && ec == std::errc() && last == digits.data() + digits.size())
        {
            details.speed = SpeedFromMbps(mbps);
            details.speedBits = SpeedBitsFromMbps(mbps);
        }
    }
    if (pciIds.empty()) return details;
    const std::string device = link + "/device";
    const std::string subsystem = LinkTarget(device + "/subsystem");
    if (!LooksLikePciAddress(LastComponent(LinkTarget(device))) && !subsystem.ends_with("bus/pci")) return details;
    const auto vendorId = ReadHexAttribute(device + "/vendor");
    const auto deviceId = ReadHexAttribute(device + "/device");
    if (vendorId && deviceId) details.model = PciModelFromFile(pciIds, *vendorId, *deviceId);
    return details;
}

DeviceDetails QueryDevice(const std::string& name, const std::string& sysRoot, const std::string& pciIds) {
    DeviceDetails details;
    const Socket socket;
    if (socket.get() < 0) return details;
    ifreq request;
    if (NameRequest(name, request)) details.wireless = ::ioctl(socket.get(), kSiocGiwName, &request) == 0;
    if (const auto mbps = LinkSpeedMbps(socket.get(), name)) {
        details.speed = SpeedFromMbps(*mbps);
        details.speedBits = SpeedBitsFromMbps(*mbps);
    }
    const std::string bus = BusAddress(socket.get(), name);
    if (bus.empty() || pciIds.empty()) return details;
    const std::string device = sysRoot + "/bus/pci/devices/" + bus;
    const auto vendorId = ReadHexAttribute(device + "/vendor");
    const auto deviceId = ReadHexAttribute(device + "/device");
    if (!vendorId || !deviceId) return details;
    details.model = PciModelFromFile(pciIds, *vendorId, *deviceId);
    return details;
}

}  // namespace provider
