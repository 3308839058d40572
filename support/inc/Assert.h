#pragma once
// The recordset's checks of its callers. A failed check writes a fixed text and the
// check's line number to the debugger output channel, then execution simply goes on:
// the check never stops the program, returns early or throws.

// The line number each check carries.
enum AssertLine : int {
  kAssertLineGetFieldName = 924,
  kAssertLineSetFileIdentification = 1029,
  kAssertLineSetFieldValue = 1091,
  kAssertLineBuildFileIdentification = 1130,
};

// Sends the two strings of one trace: the fixed text, then " <line>\n".
void AssertTrace(int line);

#define ASSERT(condition, line)      \
  do {                               \
    if (!(condition)) AssertTrace(line); \
  } while (0)
