#include "NodeLock.h"

// The Windows test programs never reach the cluster (the end-to-end runs of the Windows
// build are driven by the Linux test program).
CNodeLock::~CNodeLock() = default;

bool CNodeLock::Open(const std::string&) { return false; }

bool CNodeLock::Hold(bool) { return false; }
