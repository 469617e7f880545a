#pragma once

#include <QDBusMessage>
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <optional>

#include "AEDescriptor.h"

// Descriptors on D-Bus. A descriptor travels as a variant holding (say), its type code and
// data, or for a list (sav), "list" and its items; an event's keyword parameters and a reply's
// entries as a{sv}. Incoming values of any other shape are refused with a reason.

// Lists nested deeper than this are refused; no command needs more than one level.
inline constexpr int kMaxDescriptorDepth = 16;

// The value to put in a variant. Records and events have no form of their own on the bus: as a
// value they travel as their type code without data.
QVariant encodeDescriptor(const AEDescriptor& descriptor);
// The keyword parameters of a record or event.
QVariantMap encodeParameters(const AEDescriptor& record);

// A descriptor from the contents of a variant, as it arrives in a message. A NUL that ends
// 'furl' or 'utf8' data and is its only NUL is dropped: GLib's tools end byte strings with one.
std::optional<AEDescriptor> decodeDescriptor(const QVariant& value, QString* error = nullptr);
// Adds the entries of an a{sv} argument to `record` as keyword parameters. False, with the
// reason, for a key that is not four printable ASCII characters, a key given twice or a value
// of the wrong shape; `record` may then hold the entries before the bad one.
bool decodeParameters(const QVariant& map, AEDescriptor& record, QString* error = nullptr);

// An incoming HandleEvent call taken apart.
struct AEDecodedCall {
    // Formed when the call has the right signature and its class and ID are codes; it then
    // holds every parameter that could be read.
    std::optional<AEDescriptor> event;
    bool replyWanted = true;
    // Empty when the whole call could be read.
    QString error;
};
AEDecodedCall decodeEventCall(const QDBusMessage& call);

// The HandleEvent call that carries `event` to `service` (empty on a peer connection).
QDBusMessage eventCallMessage(const AEDescriptor& event, bool replyWanted, const QString& service);
// The reply event ('aevt'\'ansr') from the answer to a HandleEvent call.
std::optional<AEDescriptor> decodeEventReply(const QDBusMessage& answer, QString* error = nullptr);
