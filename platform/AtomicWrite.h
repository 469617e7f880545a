#pragma once

#include <QByteArray>
#include <QString>
#include <string>

// Replaces the file at `path` with `data` so that a crash at any moment leaves either the old
// file or the new one: a temporary file in the same folder is written, flushed with fsync and
// renamed over the old one, then the folder itself is flushed. The new file gets `mode` (less
// the umask) unless an old file exists, whose permissions it keeps.
// On failure the old file is untouched, no temporary file is left and `error` (if given)
// holds the system's text.
bool writeFileAtomically(const std::string& path, const QByteArray& data, QString* error = nullptr,
                         unsigned mode = 0644);

// Flushes the folder that holds `path`, so that a rename or creation in it is durable.
bool syncParentFolder(const std::string& path);

// The system's text for an error number (thread-safe strerror).
QString errorText(int errnum);
