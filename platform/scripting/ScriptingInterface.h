#pragma once

#include "AEDescriptor.h"

// Where Pellora answers scripting events on the session bus, and the events it answers.
inline constexpr char kScriptingService[] = "com.orvane.Pellora";
inline constexpr char kScriptingObjectPath[] = "/com/orvane/Pellora";
inline constexpr char kScriptingInterface[] = "com.orvane.Pellora.AppleEvents";
inline constexpr char kScriptingMethod[] = "HandleEvent";
inline constexpr char kScriptingSignature[] = "ssa{sv}b";

// The drive commands: event class, event IDs and their parameter keywords.
inline constexpr FourCharCode kSyncEventClass = fourCharCode("VSNC");
inline constexpr FourCharCode kQueryEvent = fourCharCode("QURY");
inline constexpr FourCharCode kSetSyncListEvent = fourCharCode("SETL");
inline constexpr FourCharCode kGetSyncListEvent = fourCharCode("GETL");
inline constexpr FourCharCode kSetContinuousSyncStateEvent = fourCharCode("SCSS");
inline constexpr FourCharCode kGetContinuousSyncStateEvent = fourCharCode("GCSS");
inline constexpr FourCharCode kStartEvent = fourCharCode("DOIT");
inline constexpr FourCharCode kCancelEvent = fourCharCode("STOP");
inline constexpr FourCharCode kStatusEvent = fourCharCode("INFO");
inline constexpr FourCharCode kItemsKeyword = fourCharCode("ITMZ");
inline constexpr FourCharCode kContinuousSyncStateKeyword = fourCharCode("CSSP");
