#pragma once
// The rules of each server the tool knows, one unit each beside this header.

#include "ServerRules.h"

const CServerRules& SqliteRules();
const CServerRules& PostgresRules();
const CServerRules& MariaRules();
const CServerRules& SqlServerRules();
// Any other ODBC database: CServerRules' own defaults.
const CServerRules& OtherServerRules();
void ExplainSqliteRefusal(CODBCDatabase& database, std::u16string_view given);
