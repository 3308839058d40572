#pragma once
// Lets the test capture of the debugger channel see each call as one string: in the file
// the calls run together, as they do in a debugger's output window.

using DebugOutputObserver = void (*)(const char16_t* text, void* context);

// Installs an observer (null removes it) and returns the one it replaces, with its context.
DebugOutputObserver SetDebugOutputObserver(DebugOutputObserver observer, void* context, void** previousContext);
