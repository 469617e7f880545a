#pragma once

#include <QString>

// The text to show for one of the application's English texts: the key looked up in the
// shipped string table, or the key itself when the table has no entry. Debug lines are never
// passed through here.
QString KTLLocalizedString(const QString& key);
