#pragma once
// Catches what the process writes to standard error, so a test can compare messages.

#include <string>

// From construction until Finish (or destruction), standard error goes to scratchFile,
// both the C runtime's descriptor 2 and, on Windows, the process's standard error handle,
// which is where the console functions write.
class CStandardErrorCapture {
 public:
  explicit CStandardErrorCapture(const std::string& scratchFile);
  ~CStandardErrorCapture();
  CStandardErrorCapture(const CStandardErrorCapture&) = delete;
  CStandardErrorCapture& operator=(const CStandardErrorCapture&) = delete;

  // Puts standard error back and returns what was written meanwhile.
  std::string Finish();

 private:
  void Restore();

  std::string m_file;
  int m_savedDescriptor = -1;
  void* m_savedHandle = nullptr;
};
