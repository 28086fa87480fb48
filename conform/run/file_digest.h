#pragma once

#include <string>

// SHA-256 of a file's bytes as 64 lower-case hex digits; empty when the file cannot be read.
std::string sha256OfFile(const std::string& path);
