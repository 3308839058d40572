#pragma once
// The rules of each server the tool knows, one unit each beside this header.

#include "ServerRules.h"

const CServerRules& SqliteRules();
const CServerRules& PostgresRules();
const CServerRules& MariaRules();
const CServerRules& SqlServerRules();
// Any other ODBC database: CServerRules' own defaults.
const CServerRules& OtherServerRules();
// The one instance of a unit's rules, made on first use.
template <class Rules>
const CServerRules& TheRules() {
  static const Rules rules;
  return rules;
}

void ExplainSqliteRefusal(CODBCDatabase& database, std::u16string_view given);
