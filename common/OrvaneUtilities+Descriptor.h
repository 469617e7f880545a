#pragma once

#include <QUrl>
#include <QtGlobal>
#include <optional>
#include <string>

#include "AEDescriptor.h"

// Descriptor makers and getters the scripting commands and the suite's other programs share.
// None reports or logs anything: a failure is false or none.
namespace OrvaneUtilities {

// Two 32-bit words naming a process; on Linux the low word carries the process id.
struct ProcessSerialNumber {
    quint32 highLongOfPSN = 0;
    quint32 lowLongOfPSN = 0;
};

// A file reference: the device and inode numbers of an existing item, zero-padded to 80 bytes.
struct FSRef {
    quint8 hidden[80] = {};
};

// Makers.
// 'true' or 'fals' with no data (not the one-byte 'bool').
AEDescriptor descriptorWithBOOL(bool value);
// 'psn ' with the two words, high word first, each little-endian; none without a number.
std::optional<AEDescriptor> descriptorWithPSN(const ProcessSerialNumber* psn);
// Same as descriptorWithPathAsAlias.
std::optional<AEDescriptor> descriptorWithPath(const std::string& path);
// 'alis' whose record is the existing item's absolute path with links resolved, so that it
// still names the item when the caller's working folder changes; none if it doesn't exist.
std::optional<AEDescriptor> descriptorWithPathAsAlias(const std::string& path);
// 'furl' with the UTF-8 bytes of the path's file URL: relative paths are taken from the
// working folder, a folder's URL ends in "/", and blanks, "%", "#", "?", control characters
// and bytes that aren't ASCII are percent-escaped. None for an empty path.
std::optional<AEDescriptor> descriptorWithPathAsCFURL(const std::string& path);
// 'fsrf' with the 80 bytes of the existing item's FSRef; none if it doesn't exist.
std::optional<AEDescriptor> descriptorWithPathAsFSRef(const std::string& path);
// An object specifier ('obj ') of the property `propertyCode` of `container`.
std::optional<AEDescriptor> propertyDescriptorOfType(FourCharCode propertyCode,
                                                     const AEDescriptor& container);

// Getters.
// Only type 'furl' whose bytes are valid UTF-8 forming a URL; nothing is coerced. Sets `url`
// to an empty URL first; false without a place for the result. Any scheme passes: the caller
// checks for a file URL.
bool retrieveURL(const AEDescriptor& descriptor, QUrl* url);
// Zero-fills `ref`, then copies the first 80 bytes of an 'fsrf' descriptor.
bool retrieveFSRef(const AEDescriptor& descriptor, FSRef* ref);
// The descriptor itself unless it is an object specifier. There is no object model here to
// resolve specifiers against, so a specifier gives none.
std::optional<AEDescriptor> resolvedObjectSpecifier(const AEDescriptor& descriptor);

// The local path of a file URL as bytes (escapes undone, so names that aren't UTF-8 survive),
// without a trailing "/" except for the root; none for other schemes or an empty path.
std::optional<std::string> pathOfFileURL(const QUrl& url);

}  // namespace OrvaneUtilities
