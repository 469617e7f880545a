#include "KTLLocalizedString.h"

#include <gtest/gtest.h>

TEST(KTLLocalizedString, KeysShowThemselvesWithTheSigns) {
    EXPECT_EQ(KTLLocalizedString("Log"), "Log");
    EXPECT_EQ(KTLLocalizedString("Are you sure you want to clear the log file?"),
              "Are you sure you want to clear the log file?");
    EXPECT_EQ(KTLLocalizedString(""), "");
    EXPECT_EQ(KTLLocalizedString("Copy from the Tapline\\U2122 drive?"),
              QString::fromUtf8("Copy from the Tapline\u2122 drive?"));
    // Every occurrence, both signs, and a key that no table lists.
    EXPECT_EQ(KTLLocalizedString("Mac\\U00AE->Tapline\\U2122 and Tapline\\U2122->Mac\\U00AE %@"),
              QString::fromUtf8("Mac\u00AE->Tapline\u2122 and Tapline\u2122->Mac\u00AE %@"));
    // Only those two escapes are signs.
    EXPECT_EQ(KTLLocalizedString("\\U2123 \\u2122 \\U212"), "\\U2123 \\u2122 \\U212");
}
