#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <string>

// Status codes of GetPrimaryMACAddressAsCFString.
inline constexpr int32_t kMACAddressOK = 0;
inline constexpr int32_t kMACAddressNoOutLocation = 22;
inline constexpr int32_t kMACAddressNoInterface = 5;
inline constexpr int32_t kMACAddressNoString = -4960;

using MACAddress = std::array<uint8_t, 6>;

// The hardware address of the computer's primary Ethernet interface as text: each byte as two
// uppercase hexadecimal digits, with ":" between the bytes when `withColons`.
// `*out` is set to a null string first and receives the text only on success. Without `out`
// the answer is 22 and nothing else happens; without a primary Ethernet interface, 5; when the
// text can't be allocated, -4960.
//
// The primary interface is chosen among the physical, wired Ethernet interfaces that carry the
// permanent address burnt into their hardware: an onboard one (eno*) first, else the one with
// the lowest interface index. Virtual, wireless and randomly addressed ones never count.
int32_t GetPrimaryMACAddressAsCFString(bool withColons, QString* out);

// The same over another copy of the kernel's network class folder (normally /sys/class/net).
int32_t GetPrimaryMACAddressAsCFString(bool withColons, QString* out,
                                       const std::string& netClassFolder);

// The name of the interface chosen as primary in `netClassFolder`, and its address.
struct PrimaryInterface {
    std::string name;
    MACAddress address{};
};
std::optional<PrimaryInterface> findPrimaryEthernetInterface(const std::string& netClassFolder);

QString formatMACAddress(const MACAddress& address, bool withColons);

// "01:23:45:67:89:ab" (the kernel's form, either case) to bytes; none for anything else.
std::optional<MACAddress> parseMACAddress(const std::string& text);
