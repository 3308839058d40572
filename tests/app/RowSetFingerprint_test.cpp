// The fingerprint must tell apart exactly the row sets an operator would call different:
// order never matters, every field and every NULL does, and a repeated row counts twice.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "RowSetFingerprint.h"

namespace {

struct Row {
  std::optional<int32_t> key;
  std::u16string name;
  bool nameIsNull = false;
  int32_t operationType = 18;
  std::optional<std::string> identification;
};

const CSipHash::Key kKey = {0x0706050403020100ULL, 0x0F0E0D0C0B0A0908ULL};

CRowSetFingerprint Of(const std::vector<Row>& rows, const CSipHash::Key& key = kKey) {
  CRowSetFingerprint fingerprint(key);
  for (const Row& r : rows) {
    fingerprint.Add(r.key, r.name, r.nameIsNull, r.operationType,
                    r.identification ? reinterpret_cast<const uint8_t*>(r.identification->data()) : nullptr,
                    r.identification ? r.identification->size() : 0);
  }
  return fingerprint;
}

TEST(RowSetFingerprint, TellsApartWhatDiffersAndNothingElse) {
  const Row a = {1, u"a", false, 18, std::string(112, '\x01')};
  const Row b = {2, u"b", false, 18, std::nullopt};
  struct Case {
    const char* name;
    std::vector<Row> listed;
    std::vector<Row> now;
    bool same;
  };
  const Case cases[] = {
      {"the same rows in another order", {a, b}, {b, a}, true},
      {"names swapped between two rows", {a, b}, {{1, u"b", false, 18, a.identification}, {2, u"a", false, 18, std::nullopt}}, false},
      {"a NULL key and the key 0", {{std::nullopt, u"a"}}, {{0, u"a"}}, false},
      {"a NULL name and an empty one", {{1, u"", true}}, {{1, u""}}, false},
      {"a NULL identification and an empty one", {{1, u"a", false, 18, std::nullopt}}, {{1, u"a", false, 18, std::string()}}, false},
      {"another operation type", {a}, {{1, u"a", false, 50, a.identification}}, false},
      {"one byte of the identification", {a}, {{1, u"a", false, 18, std::string(111, '\x01') + '\x02'}}, false},
      {"a duplicated key, twice the same row", {a, a}, {a, a}, true},
      {"a duplicated key, one of the two replaced", {a, a}, {a, {1, u"a2", false, 18, a.identification}}, false},
      {"a name that differs past 260 characters", {{1, std::u16string(300, u'n')}}, {{1, std::u16string(289, u'n') + u'X' + std::u16string(10, u'n')}}, false},
      {"a name that differs after an embedded NUL", {{1, std::u16string(u"ab\0cd", 5)}}, {{1, std::u16string(u"ab\0EVIL", 7)}}, false},
      {"the name ends where the identification begins", {{1, u"ab", false, 18, std::string()}}, {{1, u"a", false, 18, std::string("\0b", 2)}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Of(c.listed) == Of(c.now), c.same);
    EXPECT_EQ(Of(c.listed).DescribeChange(Of(c.now)).empty(), c.same);
  }
}

// The key is what makes the fingerprint unpredictable: the same rows under two keys
// must not agree, and a value fed in pieces must hash as the whole value does, since the
// listing and the check read a long value in pieces of the driver's choosing.
TEST(RowSetFingerprint, KeyedAndIndependentOfHowAValueArrives) {
  const Row row = {7, u"C:\\data\\report.pdf", false, 18, std::string(1500, '\x5a')};
  EXPECT_NE(Of({row}), Of({row}, CSipHash::Key{1, 2}));

  CRowSetFingerprint pieces(kKey);
  CRowSetFingerprint::CRow r = pieces.NewRow();
  r.Key(row.key);
  const auto* name = reinterpret_cast<const uint8_t*>(row.name.data());
  const std::size_t nameBytes = row.name.size() * sizeof(char16_t);
  for (std::size_t i = 0; i < nameBytes; i += 3) r.Bytes(name + i, std::min<std::size_t>(3, nameBytes - i));
  r.EndValue(nameBytes);
  r.Integer(row.operationType);
  r.Bytes(row.identification->data(), 1000);
  r.Bytes(row.identification->data() + 1000, 500);
  r.EndValue(1500);
  pieces.Add(r);
  EXPECT_EQ(pieces, Of({row}));
}

}  // namespace
