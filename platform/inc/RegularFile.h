#pragma once
// Creating an output file that is what its name says: a regular file in that directory.

#include <cstdio>
#include <string>

// Opens path for writing in binary mode as fopen(path, "wb") does (created, or emptied
// when it exists), but only when the name holds, or will hold, a regular file. A symbolic
// link, a FIFO, a device or a directory of that name is refused, and left exactly as it
// was: writing there would put the text somewhere the operator never looks, or block.
// On failure: nullptr, and reason says why in words.
std::FILE* CreateRegularFileForWriting(const char* path, std::string& reason);

// The reason given for a name that holds something other than a regular file.
extern const char* const kNotARegularFile;
