#pragma once
// Opening the run's connection, accepted only when the database has the schema version
// this tool was built for.

#include "ServerConnection.h"

// True when the connection is open, the server takes changes and the version is accepted.
// Otherwise false with the connection closed; the caller fetches the error from the
// connection (CServerConnection::ClassifyRefusal tells a server that takes no changes). A
// refused version is also reported on standard error, with any password in the string
// masked. From the version check on, no statement waits longer than lockWaitSeconds for
// another session's locks (CServerConnection::LimitLockWaits); on SQLite that bound is also
// the driver's wait for another writer where the operator set none. On SQLite the file
// opened must be the database named; otherwise the connection is refused with an error that
// names both.
[[nodiscard]] bool ConnectToDatabase(CServerConnection& database, const char16_t* connectionString, int lockWaitSeconds);
