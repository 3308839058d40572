// meridex-cleanup: deletes the obsolete FileTree rows of the Meridex database after
// listing them and asking the operator. It takes no arguments and always exits with 0.

#include "CleanupRun.h"

int main() { return RunCleanup(); }
