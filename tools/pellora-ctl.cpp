// pellora-ctl: asks the running Pellora about a drive, or tells it what to do with one, through
// the scripting events on the session bus.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QUrl>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "AEEventClient.h"
#include "OrvaneUtilities+Descriptor.h"
#include "ScriptingInterface.h"

namespace {

enum ExitStatus { kDone = 0, kErrorReply = 1, kUsage = 2, kNotRunning = 3, kBusFailure = 4 };

constexpr char kHelp[] = R"(Usage: pellora-ctl [OPTIONS] COMMAND MOUNT-POINT [ARGUMENTS]

Asks the running Pellora about a drive, or tells it what to do with one. The
drive is named by the folder where it is mounted, such as /media/you/DRIVE.

Commands:
  query MOUNT-POINT            Is the drive usable and prepared for sync?
                               Prints "yes" or "no".
  get-list MOUNT-POINT         Prints the drive's sync list, one path a line.
  set-list MOUNT-POINT [PATH...]
                               Replaces the drive's sync list with the given
                               files and folders, in this order (none gives an
                               empty list). The drive's copies of items left
                               out of the new list are removed from the drive.
  get-continuous MOUNT-POINT   Prints "on" or "off": whether continuous sync
                               is on for the drive.
  set-continuous MOUNT-POINT on|off
                               Turns continuous sync on or off for the drive.
  start MOUNT-POINT            Starts a sync of the drive.
  stop MOUNT-POINT             Cancels the drive's running sync.
  info MOUNT-POINT             Checks that Pellora takes the drive argument;
                               prints nothing.

Options:
  -0, --null      get-list: end each path with a NUL byte, not a line break
  -v, --verbose   also print the event sent and the reply received
  -h, --help      print this help
  --              ends the options (for a path beginning with "-")

Relative paths are taken from the current folder. pellora-ctl waits as long as
Pellora takes to answer: Pellora may first show an alert that someone has to
dismiss, for example when the drive is already syncing.

Exit status:
  0  done
  1  Pellora answered with an error, which is printed
  2  the command line is wrong
  3  Pellora is not running, or there is no session bus
  4  the call failed on the bus, or the answer could not be read
)";

struct Command {
    const char* name;
    FourCharCode eventID;
    int minArguments;  // after the mount point
    int maxArguments;  // -1: any number
};

constexpr Command kCommands[] = {
    {"query", kQueryEvent, 0, 0},
    {"get-list", kGetSyncListEvent, 0, 0},
    {"set-list", kSetSyncListEvent, 0, -1},
    {"get-continuous", kGetContinuousSyncStateEvent, 0, 0},
    {"set-continuous", kSetContinuousSyncStateEvent, 1, 1},
    {"start", kStartEvent, 0, 0},
    {"stop", kCancelEvent, 0, 0},
    {"info", kStatusEvent, 0, 0},
};

struct Options {
    bool nulSeparated = false;
    bool verbose = false;
    const Command* command = nullptr;
    std::string mountPoint;
    std::vector<std::string> arguments;
};

int usageError(const char* message, const std::string& detail = {}) {
    std::fprintf(stderr, "pellora-ctl: %s%s\nTry \"pellora-ctl --help\".\n", message,
                 detail.c_str());
    return kUsage;
}

void printLine(const QString& text, FILE* to) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fprintf(to, "%s\n", bytes.constData());
}

// Paths stay bytes from argv to the event: a file name need not be valid UTF-8.
std::optional<int> parseArguments(int argc, char** argv, Options& options) {
    std::vector<std::string> words;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (!optionsEnded && word.size() > 1 && word[0] == '-') {
            if (word == "--") {
                optionsEnded = true;
            } else if (word == "-h" || word == "--help") {
                std::fputs(kHelp, stdout);
                return kDone;
            } else if (word == "-0" || word == "--null") {
                options.nulSeparated = true;
            } else if (word == "-v" || word == "--verbose") {
                options.verbose = true;
            } else {
                return usageError("unknown option ", word);
            }
            continue;
        }
        words.push_back(word);
    }
    if (words.empty()) return usageError("no command given");
    for (const Command& command : kCommands) {
        if (words[0] == command.name) options.command = &command;
    }
    if (!options.command) return usageError("unknown command ", words[0]);
    if (words.size() < 2) return usageError("no mount point given");
    options.mountPoint = words[1];
    options.arguments.assign(words.begin() + 2, words.end());
    const int count = int(options.arguments.size());
    const Command& command = *options.command;
    if (count < command.minArguments ||
        (command.maxArguments >= 0 && count > command.maxArguments)) {
        return usageError("wrong number of arguments for ", command.name);
    }
    if (command.eventID == kSetContinuousSyncStateEvent && options.arguments[0] != "on" &&
        options.arguments[0] != "off") {
        return usageError("set-continuous takes \"on\" or \"off\", not ", options.arguments[0]);
    }
    return std::nullopt;
}

std::optional<AEDescriptor> fileURLDescriptor(const std::string& path) {
    const auto descriptor = OrvaneUtilities::descriptorWithPathAsCFURL(path);
    if (!descriptor) std::fprintf(stderr, "pellora-ctl: no file URL for \"%s\"\n", path.c_str());
    return descriptor;
}

std::optional<AEDescriptor> eventFor(const Options& options) {
    AEDescriptor event =
        AEDescriptor::appleEventWithEventClass(kSyncEventClass, options.command->eventID);
    const auto drive = fileURLDescriptor(options.mountPoint);
    if (!drive) return std::nullopt;
    event.setParamDescriptor(*drive, AEKeyword::directObject);
    if (options.command->eventID == kSetSyncListEvent) {
        AEDescriptor items = AEDescriptor::listDescriptor();
        for (const std::string& path : options.arguments) {
            const auto item = fileURLDescriptor(path);
            if (!item) return std::nullopt;
            items.insertDescriptor(*item, 0);
        }
        event.setParamDescriptor(items, kItemsKeyword);
    } else if (options.command->eventID == kSetContinuousSyncStateEvent) {
        event.setParamDescriptor(OrvaneUtilities::descriptorWithBOOL(options.arguments[0] == "on"),
                                 kContinuousSyncStateKeyword);
    }
    return event;
}

int unreadableReply(const AEDescriptor& reply) {
    std::fprintf(stderr, "pellora-ctl: unexpected answer from Pellora: ");
    printLine(reply.description(), stderr);
    return kBusFailure;
}

// The answer of a command that has one, printed; errors were dealt with before.
int printAnswer(const Options& options, const AEDescriptor& reply) {
    const FourCharCode id = options.command->eventID;
    const bool yesNo = id == kQueryEvent || id == kGetContinuousSyncStateEvent;
    if (!yesNo && id != kGetSyncListEvent) return kDone;
    const auto answer = reply.paramDescriptorForKeyword(AEKeyword::directObject);
    if (!answer) return unreadableReply(reply);
    if (yesNo) {
        const FourCharCode type = answer->descriptorType();
        if (type != AEType::trueType && type != AEType::falseType) return unreadableReply(reply);
        const bool on = type == AEType::trueType;
        std::puts(id == kQueryEvent ? (on ? "yes" : "no") : (on ? "on" : "off"));
        return kDone;
    }
    if (!answer->isList()) return unreadableReply(reply);
    std::string out;
    for (int i = 1; i <= answer->numberOfItems(); ++i) {
        QUrl url;
        const auto path = OrvaneUtilities::retrieveURL(*answer->descriptorAtIndex(i), &url)
                              ? OrvaneUtilities::pathOfFileURL(url)
                              : std::nullopt;
        if (!path) return unreadableReply(reply);
        out += *path;
        out += options.nulSeparated ? '\0' : '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return kDone;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const auto status = parseArguments(argc, argv, options)) return *status;
    const auto event = eventFor(options);
    if (!event) return kUsage;

    QCoreApplication application(argc, argv);
    if (options.verbose) {
        std::fputs("event: ", stderr);
        printLine(event->description(), stderr);
    }
    const AEEventResult result = sendAppleEvent(QDBusConnection::sessionBus(), *event);
    if (result.status == AEEventResult::Status::NotRunning) {
        std::fprintf(stderr, "pellora-ctl: Pellora is not running (");
        std::fprintf(stderr, "%s)\n", result.error.toLocal8Bit().constData());
        return kNotRunning;
    }
    if (result.status == AEEventResult::Status::Failed) {
        std::fprintf(stderr, "pellora-ctl: the call to Pellora failed: ");
        printLine(result.error, stderr);
        return kBusFailure;
    }
    const AEDescriptor& reply = result.reply;
    if (options.verbose) {
        std::fputs("reply: ", stderr);
        printLine(reply.description(), stderr);
    }

    const auto number = reply.paramDescriptorForKeyword(AEKeyword::errorNumber);
    const auto text = reply.paramDescriptorForKeyword(AEKeyword::errorString);
    const qint32 errorNumber = number ? number->int32Value().value_or(kAEParamErr) : 0;
    if (errorNumber != 0 || text) {
        const QString message = text ? text->stringValue().value_or(text->description())
                                     : QStringLiteral("Pellora reported an error");
        std::fprintf(stderr, "pellora-ctl: ");
        printLine(QStringLiteral("%1 (error %2)").arg(message).arg(errorNumber), stderr);
        return kErrorReply;
    }
    return printAnswer(options, reply);
}
