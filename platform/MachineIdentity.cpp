#include "MachineIdentity.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <new>
#include <tuple>
#include <vector>

#include "FileContents.h"

namespace {

constexpr const char kNetClassFolder[] = "/sys/class/net";

// ARPHRD_ETHER and NET_ADDR_PERM as the kernel writes them.
constexpr int kHardwareTypeEthernet = 1;
constexpr int kAddressPermanent = 0;

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A sysfs attribute: one short line.
std::optional<std::string> readAttribute(const std::string& path) {
    auto contents = readFileContents(path, 4096);
    if (!contents) return std::nullopt;
    std::string text = contents->toStdString();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::optional<int> readNumber(const std::string& path) {
    auto text = readAttribute(path);
    if (!text || text->empty()) return std::nullopt;
    int value = 0;
    auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (ec != std::errc() || end != text->data() + text->size()) return std::nullopt;
    return value;
}

struct Candidate {
    std::string name;
    int index;
    MACAddress address;
    bool onboard;
};

std::optional<Candidate> qualify(const std::string& folder, const std::string& name) {
    const std::string base = folder + "/" + name;
    // Virtual interfaces (bridges, tunnels, veth, ifb, loopback) have no device behind them.
    if (!exists(base + "/device")) return std::nullopt;
    if (readNumber(base + "/type") != kHardwareTypeEthernet) return std::nullopt;
    if (exists(base + "/wireless") || exists(base + "/phy80211")) return std::nullopt;
    // A random or stolen address would change the computer's identity from boot to boot.
    if (readNumber(base + "/addr_assign_type") != kAddressPermanent) return std::nullopt;
    auto index = readNumber(base + "/ifindex");
    auto text = readAttribute(base + "/address");
    if (!index || !text) return std::nullopt;
    auto address = parseMACAddress(*text);
    if (!address || *address == MACAddress{}) return std::nullopt;
    return Candidate{name, *index, *address, name.rfind("eno", 0) == 0};
}

}  // namespace

std::optional<MACAddress> parseMACAddress(const std::string& text) {
    if (text.size() != 17) return std::nullopt;
    MACAddress address{};
    for (size_t i = 0; i < address.size(); ++i) {
        const char* digits = text.data() + 3 * i;
        if (i > 0 && digits[-1] != ':') return std::nullopt;
        auto [end, ec] = std::from_chars(digits, digits + 2, address[i], 16);
        if (ec != std::errc() || end != digits + 2) return std::nullopt;
    }
    return address;
}

QString formatMACAddress(const MACAddress& address, bool withColons) {
    static const char kDigits[] = "0123456789ABCDEF";
    QString text;
    text.reserve(withColons ? 17 : 12);
    for (size_t i = 0; i < address.size(); ++i) {
        if (withColons && i > 0) text += QLatin1Char(':');
        text += QLatin1Char(kDigits[address[i] >> 4]);
        text += QLatin1Char(kDigits[address[i] & 0xF]);
    }
    return text;
}

std::optional<PrimaryInterface> findPrimaryEthernetInterface(const std::string& netClassFolder) {
    DIR* dir = opendir(netClassFolder.c_str());
    if (!dir) return std::nullopt;
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    closedir(dir);

    std::optional<Candidate> best;
    for (const std::string& name : names) {
        auto candidate = qualify(netClassFolder, name);
        if (!candidate) continue;
        auto rank = [](const Candidate& c) { return std::make_tuple(!c.onboard, c.index, c.name); };
        if (!best || rank(*candidate) < rank(*best)) best = std::move(candidate);
    }
    if (!best) return std::nullopt;
    return PrimaryInterface{best->name, best->address};
}

int32_t GetPrimaryMACAddressAsCFString(bool withColons, QString* out) {
    return GetPrimaryMACAddressAsCFString(withColons, out, kNetClassFolder);
}

int32_t GetPrimaryMACAddressAsCFString(bool withColons, QString* out,
                                       const std::string& netClassFolder) {
    if (!out) return kMACAddressNoOutLocation;
    *out = QString();
    auto primary = findPrimaryEthernetInterface(netClassFolder);
    if (!primary) return kMACAddressNoInterface;
    try {
        *out = formatMACAddress(primary->address, withColons);
    } catch (const std::bad_alloc&) {
        *out = QString();
        return kMACAddressNoString;
    }
    return kMACAddressOK;
}
