#include "ConsoleTesting.h"

#include <fstream>
#include <sstream>

CStandardErrorCapture::~CStandardErrorCapture() { Restore(); }

std::string CStandardErrorCapture::Finish() {
  Restore();
  std::ifstream in(m_file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}
