#pragma once
// Schema scripts are plain SQL files: statements end with ';', "--" starts a comment.

#include <string>
#include <vector>

std::vector<std::string> SplitSqlStatements(const std::string& script);
