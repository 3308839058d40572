// Reading the connection string, on both builds, with the messages the operator sees.

#include <gtest/gtest.h>

#include "Console.h"

#include <algorithm>
#include <string>

#include "ConnectionSettings.h"
#include "ConsoleTesting.h"
#include "TestRegistry.h"
#include "TestSupport.h"

namespace {

// Standard error as the build writes it: redirected text has the platform's line ends.
std::string WithLineEnds(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += kTextLineEnd;
    else out.push_back(c);
  }
  return out;
}


using testing_support::TempDir;
using testing_support::TestRegistry;

const std::string kProductMissing =
    "Failed to read from registry: Meridex registry is missing.\n"
    "This tool must run on a machine with Meridex installed \n";
const std::string kDatabaseMissing =
    "Failed to read from registry: The Database configuration in registry is missing\n";
const std::string kCorrupted = "Failed to read from registry: The Database configuration in registry is corrupted\n";

const std::u16string kDatabaseKey = u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Talvora\\Meridex_4\\Database]\n";

std::u16string Text(const char16_t* name, const std::u16string& value) {
  return u"\"" + std::u16string(name) + u"\"=\"" + value + u"\"\n";
}

// A value given as bytes: count UTF-16 units of 'a' and nothing else, no terminator.
std::u16string Unterminated(const char16_t* name, std::size_t count) {
  std::u16string line = u"\"" + std::u16string(name) + u"\"=hex:";
  for (std::size_t i = 0; i < count; ++i) line += i == 0 ? u"61,00" : u",61,00";
  return line + u"\n";
}

struct SCase {
  const char* what;
  std::u16string body;
  bool result;
  std::u16string connection;  // the buffer's text on success
  std::string message;
  DWORD error;  // the last error after a failure
};

class ConnectionSettingsTest : public testing::Test {
 protected:
  TestRegistry m_registry{u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Talvora"};
  TempDir m_scratch;
};

TEST_F(ConnectionSettingsTest, ReadsThePreferredValueElseTheFallback) {
  const std::u16string longest(kConnectionStringCapacity - 1, u'L');  // fits with its terminator
  const std::u16string tooLong(kConnectionStringCapacity, u'T');
  const SCase cases[] = {
      {"no product key", u"", false, u"", kProductMissing, ERROR_FILE_NOT_FOUND},
      {"no Database key", u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Talvora\\Meridex_4]\n\"Other\"=\"x\"\n", false, u"",
       kDatabaseMissing, ERROR_FILE_NOT_FOUND},
      {"no values", kDatabaseKey, false, u"", kCorrupted, ERROR_FILE_NOT_FOUND},
      {"only the fallback", kDatabaseKey + Text(kFallbackConnectionValue, u"DSN=fallback"), true, u"DSN=fallback", "",
       0},
      {"both: the preferred wins", kDatabaseKey + Text(kPreferredConnectionValue, u"DSN=gui") +
                                       Text(kFallbackConnectionValue, u"DSN=fallback"),
       true, u"DSN=gui", "", 0},
      {"an empty preferred still wins", kDatabaseKey + Text(kPreferredConnectionValue, u"") +
                                            Text(kFallbackConnectionValue, u"DSN=fallback"),
       true, u"", "", 0},
      {"names in another case", kDatabaseKey + Text(u"mssqlconnectstring", u"DSN=lower"), true, u"DSN=lower", "", 0},
      {"the longest that fits", kDatabaseKey + Text(kPreferredConnectionValue, longest), true, longest, "", 0},
      {"preferred too long: fallback", kDatabaseKey + Text(kPreferredConnectionValue, tooLong) +
                                           Text(kFallbackConnectionValue, u"DSN=short"),
       true, u"DSN=short", "", 0},
      // Fills the buffer exactly but has no terminator: it does not fit either.
      {"preferred unterminated: fallback", kDatabaseKey + Unterminated(kPreferredConnectionValue, 260) +
                                               Text(kFallbackConnectionValue, u"DSN=short"),
       true, u"DSN=short", "", 0},
      {"shorter unterminated value fits", kDatabaseKey + Unterminated(kPreferredConnectionValue, 259), true,
       std::u16string(259, u'a'), "", 0},
      {"preferred too long, no fallback", kDatabaseKey + Text(kPreferredConnectionValue, tooLong), false, u"",
       kCorrupted, ERROR_FILE_NOT_FOUND},
      {"both unterminated", kDatabaseKey + Unterminated(kPreferredConnectionValue, 260) +
                                Unterminated(kFallbackConnectionValue, 260),
       false, u"", kCorrupted, ERROR_MORE_DATA},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(m_registry.Load(c.body));
    // Not zero-filled on purpose: whatever was in the buffer must not trail the value.
    char16_t buffer[kConnectionStringCapacity];
    std::fill(std::begin(buffer), std::end(buffer), u'X');
    SetLastError(0);

    CStandardErrorCapture capture(m_scratch.File("stderr.txt"));
    const bool result = ReadConnectionString(buffer, kConnectionStringCapacity);
    const DWORD error = GetLastError();
    EXPECT_EQ(capture.Finish(), WithLineEnds(c.message));

    EXPECT_EQ(result, c.result);
    std::u16string expected = c.result ? c.connection : u"";
    expected.resize(kConnectionStringCapacity, u'\0');
    EXPECT_EQ(std::u16string(buffer, kConnectionStringCapacity), expected);
    if (!c.result) {
      EXPECT_EQ(error, c.error);
    }
  }
}

TEST_F(ConnectionSettingsTest, RefusesABufferThatCannotHoldAString) {
  ASSERT_TRUE(m_registry.Load(kDatabaseKey + Text(kFallbackConnectionValue, u"DSN=x")));
  char16_t buffer[1] = {u'X'};
  CStandardErrorCapture capture(m_scratch.File("stderr.txt"));
  EXPECT_FALSE(ReadConnectionString(buffer, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(ReadConnectionString(nullptr, kConnectionStringCapacity));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(capture.Finish(), "");
  EXPECT_EQ(buffer[0], u'X');
}

}  // namespace
