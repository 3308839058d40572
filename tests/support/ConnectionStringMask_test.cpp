#include <gtest/gtest.h>

#include <string>

#include "ConnectionStringMask.h"

namespace {

TEST(ConnectionStringMask, EverySecretIsMaskedAndNothingElse) {
  struct Row {
    const char16_t* given;
    const char16_t* shown;
  };
  const Row rows[] = {
      {u"Driver=SQLite3;Database=x;", u"Driver=SQLite3;Database=x;"},
      {u"Uid=sa;PWD=s3cret;Server=db", u"Uid=sa;PWD=****;Server=db"},
      {u"Uid=sa;Password=s3cret;", u"Uid=sa;Password=****;"},
      {u"pwd = s3cret ;x=1", u"pwd =****;x=1"},
      {u"Pwd={a;b}}c};Database=x;", u"Pwd=****;Database=x;"},
      // Keys of the drivers' own that carry a secret too.
      {u"SSLPassword=k3y;OldPwd=old;NewPWD2=new;", u"SSLPassword=****;OldPwd=****;NewPWD2=****;"},
      {u"PasswordFile=/x;Uid=pw;", u"PasswordFile=****;Uid=pw;"},
      // psqlODBC's options for libpq.
      {u"Driver={PostgreSQL Unicode};pqopt={password=S3C;R3T};Uid=u;", u"Driver={PostgreSQL Unicode};pqopt={password=****};Uid=u;"},
      {u"PQOPT={sslmode=require password = 'a b\\'c}}d' sslpassword=x};Port=5432",
       u"PQOPT={sslmode=require password = **** sslpassword=****};Port=5432"},
      {u"pqopt={application_name=x}}y password=p}}q};", u"pqopt={application_name=x}}y password=****};"},
      {u"pqopt=password=bare;Database=x", u"pqopt=password=****;Database=x"},
      {u"pqopt={passfile=/home/u/.pgpass};", u"pqopt={passfile=/home/u/.pgpass};"},
      // Not attributes at all, and the empty string.
      {u"no equals sign;PWD", u"no equals sign;PWD"},
      {u"", u""},
  };
  for (const Row& row : rows) {
    const std::u16string masked = MaskConnectionString(row.given);
    EXPECT_EQ(masked, row.shown) << "row " << (&row - rows);
    EXPECT_EQ(MaskConnectionString(masked), masked) << "masking is stable, row " << (&row - rows);
  }
}

TEST(ConnectionStringMask, KeysAreFoundAsTheDriversReadThem) {
  struct Row {
    const char16_t* given;
    bool hasTimeout;
  };
  const Row rows[] = {
      {u"Driver=SQLite3;Database=x;Timeout=1000;", true},
      {u"Driver=SQLite3; TIMEOUT =5;Database=x", true},
      {u"Driver=SQLite3;Database=x;", false},
      // Inside a braced value, or as part of another key, it is not the key.
      {u"Database={a;Timeout=1};StepAPI=1", false},
      {u"BusyTimeout=1;Timeouts=2;Timeout;", false},
      {u"", false},
  };
  for (const Row& row : rows) EXPECT_EQ(ConnectionStringHasKey(row.given, u"timeout"), row.hasTimeout) << "row " << (&row - rows);
}

}  // namespace
