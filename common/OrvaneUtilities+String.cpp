#include "OrvaneUtilities+String.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <cstdlib>
#include <map>
#include <memory>

#include "FileContents.h"
#include "MachineIdentity.h"
#include "MountTable.h"

namespace {

constexpr const char kMachineInfoFile[] = "/etc/machine-info";
constexpr size_t kMaxMachineInfoSize = 64 * 1024;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string trimmed(const std::string& s) {
    size_t start = 0, end = s.size();
    while (start < end && isBlank(s[start])) ++start;
    while (end > start && isBlank(s[end - 1])) --end;
    return s.substr(start, end - start);
}

// KEY=VALUE lines read as a shell reads the assignments: single quotes literal, double quotes
// with a backslash escaping only a quote, backslash, backquote or dollar sign, a backslash
// outside quotes escaping the next character and before a line break continuing the value,
// unquoted blanks at either end dropped, lines starting with # or ; ignored.
std::map<std::string, std::string> parseAssignments(const std::string& text) {
    std::map<std::string, std::string> values;
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        while (i < n && (isBlank(text[i]) || text[i] == '\n')) ++i;
        if (i >= n) break;
        if (text[i] == '#' || text[i] == ';') {
            while (i < n && text[i] != '\n') ++i;
            continue;
        }
        size_t keyStart = i;
        while (i < n && text[i] != '=' && text[i] != '\n') ++i;
        if (i >= n || text[i] == '\n') continue;  // no "=": not an assignment
        std::string key = trimmed(text.substr(keyStart, i - keyStart));
        ++i;
        while (i < n && isBlank(text[i])) ++i;
        std::string value;
        size_t kept = 0;  // length up to the last character that is not a trailing blank
        while (i < n && text[i] != '\n') {
            char c = text[i];
            if (c == '\\') {
                if (i + 1 < n && text[i + 1] != '\n') value += text[i + 1];
                i += 2;
                kept = value.size();
            } else if (c == '\'') {
                for (++i; i < n && text[i] != '\''; ++i) value += text[i];
                ++i;
                kept = value.size();
            } else if (c == '"') {
                for (++i; i < n && text[i] != '"'; ++i) {
                    if (text[i] == '\\' && i + 1 < n) {
                        char next = text[i + 1];
                        if (next == '\n') {
                            ++i;
                            continue;
                        }
                        if (next == '"' || next == '\\' || next == '`' || next == '$') {
                            value += next;
                            ++i;
                            continue;
                        }
                    }
                    value += text[i];
                }
                ++i;
                kept = value.size();
            } else {
                value += c;
                if (!isBlank(c)) kept = value.size();
                ++i;
            }
        }
        value.resize(kept);
        if (!key.empty()) values[key] = value;
    }
    return values;
}

}  // namespace

namespace OrvaneUtilities {

std::optional<QString> stringWithDevNodeFromMountPoint(const std::string& path) {
    auto volume = volumeForPath(path);
    if (!volume || volume->source.rfind("/dev/", 0) != 0 || volume->source.size() <= 5)
        return std::nullopt;
    return QFile::decodeName(QByteArray::fromStdString(volume->source.substr(5)));
}

std::optional<std::string> stringWithRealPath(const std::string& path) {
    std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), &free);
    if (!real) return std::nullopt;
    return std::string(real.get());
}

std::optional<QString> stringWithPrimaryMACAddressWithColons(bool withColons) {
    QString address;
    if (GetPrimaryMACAddressAsCFString(withColons, &address) != kMACAddressOK) return std::nullopt;
    return address;
}

QString stringWithHostname() {
    char name[1025];
    if (gethostname(name, sizeof name) != 0) return QStringLiteral("Macintosh");
    name[sizeof name - 1] = '\0';  // a truncated name need not be terminated
    return QString::fromLocal8Bit(name);
}

std::optional<QString> stringWithMachineName() {
    return stringWithMachineName(kMachineInfoFile);
}

std::optional<QString> stringWithMachineName(const std::string& machineInfoFile) {
    auto text = readFileContents(machineInfoFile, kMaxMachineInfoSize);
    if (!text) return std::nullopt;
    auto values = parseAssignments(text->toStdString());
    auto found = values.find("PRETTY_HOSTNAME");
    if (found == values.end() || found->second.empty()) return std::nullopt;
    return QString::fromUtf8(found->second);
}

void sortedStringArrayRemoveObject(QStringList& list, const QString& string) {
    qsizetype lower = -1;
    qsizetype upper = list.size();
    while (upper - lower > 1) {
        qsizetype middle = (lower + upper) / 2;
        int order = list.at(middle).compare(string, Qt::CaseSensitive);
        if (order == 0) {
            list.removeAt(middle);
            return;
        }
        if (order > 0)
            upper = middle;
        else
            lower = middle;
    }
}

}  // namespace OrvaneUtilities
