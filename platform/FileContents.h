#pragma once

// Whole files: read with a bound, written atomically and durably.

#include <QByteArray>
#include <QString>
#include <optional>
#include <string>

// Replaces the file at `path` with `data` so that a crash at any moment leaves either the old
// file or the new one: a temporary file in the same folder is written, flushed with fsync and
// renamed over the old one, then the folder itself is flushed. The new file gets `mode` (less
// the umask) unless an old file exists, whose permissions it keeps.
// On failure the old file is untouched, no temporary file is left and `error` (if given)
// holds the system's text.
bool writeFileAtomically(const std::string& path, const QByteArray& data, QString* error = nullptr,
                         unsigned mode = 0644);

// The whole contents of the regular file at `path`, read without blocking on whatever else might
// stand there. Fails with `*err` set (ENOENT, EINVAL for a file that is not regular, EFBIG when
// it holds more than `limit` bytes, or the system's error); a negative limit means none.
// With `followLink` false, a symbolic link at `path` fails with ELOOP.
std::optional<QByteArray> readFileContents(const std::string& path, qint64 limit,
                                           int* err = nullptr, bool followLink = true);

// Creates `folder` and its missing ancestors with `mode`; true when it exists as a folder.
bool makeFolders(const std::string& folder, unsigned mode, QString* error = nullptr);

// Flushes the folder that holds `path`, so that a rename or creation in it is durable.
bool syncParentFolder(const std::string& path);

// The system's text for an error number (thread-safe strerror).
QString errorText(int errnum);
