#pragma once
// Connection strings are echoed in messages; their passwords must not be.

#include <string>
#include <string_view>

// The connection string with the value of every PWD or Password attribute (any letter
// case, braced or not) replaced by "****". Everything else stays as it was, so the
// operator still sees which server, database and user were tried.
std::u16string MaskConnectionString(std::u16string_view connection);
