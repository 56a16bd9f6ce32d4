// Whole files as bytes, for tests that write a file before a run and read
// what the run left.
#pragma once

#include <string>

namespace test_support {

// Empty when the file cannot be read.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

}  // namespace test_support
