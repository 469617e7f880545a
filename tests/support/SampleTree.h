#pragma once

#include <QByteArray>
#include <string>

// A name that is not valid UTF-8.
extern const std::string kOddName;

// Deterministic bytes of the given size.
QByteArray patterned(qsizetype size, char seed);

// A tree holding every kind of item a copy must keep: plain files with odd modes and
// nanosecond times, a non-UTF-8 name, links (one dangling), extended attributes, an empty
// folder, nested and read-only folders, a 50 MiB file and a FIFO.
void makeSampleTree(const std::string& root);

// True when any path in the tree holds a temporary copy name.
bool containsTemporaryName(const std::string& root);
