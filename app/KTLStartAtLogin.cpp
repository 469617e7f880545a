#include "KTLStartAtLogin.h"

#include <errno.h>
#include <unistd.h>

#include <QByteArray>
#include <filesystem>

#include "FileContents.h"
#include "PreferenceDomain.h"

namespace {

const QString kStartAtLoginKey = QStringLiteral("start-at-login");

// The program that runs now, where it is: what the desktop must start again.
std::string programPath() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string("pellora") : program.string();
}

// An Exec value: quoted, with the characters the desktop entry format reserves escaped.
QByteArray execArgument(const std::string& program) {
    QByteArray quoted = "\"";
    for (char c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += "\\\\";
        quoted += c == '%' ? QByteArray("%%") : QByteArray(1, c);
    }
    return quoted + '"';
}

}  // namespace

namespace KTLStartAtLogin {

std::string entryPath() {
    // Beside the suite's own folder, in the user's configuration folder.
    return std::filesystem::path(preferencesFolder()).parent_path().string() +
           "/autostart/com.orvane.Pellora.desktop";
}

bool isEnabled() {
    return access(entryPath().c_str(), F_OK) == 0;
}

bool setEnabled(bool enabled, std::string* error) {
    PreferenceDomain& defaults = PreferenceDomain::standardUserDefaults();
    defaults.setBool(enabled, kStartAtLoginKey);
    defaults.synchronize();
    const std::string path = entryPath();
    QString reason;
    if (!enabled) {
        if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
        reason = errorText(errno);
    } else if (makeFolders(std::filesystem::path(path).parent_path().string(), 0700, &reason)) {
        const QByteArray entry =
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Pellora\n"
            "Comment=Keeps chosen folders in sync with an external drive\n"
            "Exec=" +
            execArgument(programPath()) +
            "\n"
            "Icon=com.orvane.Pellora\n"
            "Terminal=false\n";
        if (writeFileAtomically(path, entry, &reason)) return true;
    }
    if (error) *error = reason.toStdString();
    return false;
}

void applyAtStart() {
    // Only the first start decides by itself; later the entry is the user's to keep or remove.
    if (PreferenceDomain::standardUserDefaults().storedValues().contains(kStartAtLoginKey)) return;
    setEnabled(true);
}

}  // namespace KTLStartAtLogin
