#pragma once
// A file descriptor owned like every other handle: closed once, by its owner.

#include <unistd.h>

#include "UniqueHandle.h"

struct DescriptorTraits {
  using Type = int;
  static Type Invalid() { return -1; }
  static void Close(Type fd) { (void)::close(fd); }
};
using UniqueDescriptor = CUniqueHandle<DescriptorTraits>;
