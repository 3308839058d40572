#include "RowSetFingerprint.h"

std::string CRowSetFingerprint::DescribeChange(const CStoredRowSet::Sums& now) const {
  if (m_sums == now) return std::string();
  const std::string listed = std::to_string(m_sums.count) + " records were listed";
  if (now.count != m_sums.count) return listed + ", " + std::to_string(now.count) + " match now.";
  if (now.keys != m_sums.keys) return listed + " and as many match now, but not the same ones.";
  return listed + ", but some of them were changed since.";
}
