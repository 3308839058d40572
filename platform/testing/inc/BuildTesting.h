#pragma once
// Where the two builds differ on purpose, for the tests that apply to one of them only.

#ifdef _WIN32
inline constexpr bool kOnWindows = true;
#else
inline constexpr bool kOnWindows = false;
#endif

// The debugger channel is the $MERIDEX_DEBUG_OUTPUT file (POSIX) rather than a debugger.
inline constexpr bool kDebugChannelIsFile = !kOnWindows;

// The real _vsnwprintf (and wsprintfW) formats everything msvcrt (user32) knows; ours
// refuses what it does not.
inline constexpr bool kFormatterRefusesUnsupported = !kOnWindows;

// This build converts variants itself, not oleaut32. Tests of where we deliberately
// answer otherwise than oleaut32 (a NaN is an overflow here, not a number) run only where
// this is true.
inline constexpr bool kOwnVariantConversions = !kOnWindows;

// Our version reader keeps every value it hands back inside the block, whatever a hostile
// image holds; version.dll trusts the lengths a resource gives itself.
inline constexpr bool kVersionReaderChecksBlocks = !kOnWindows;
