// Test support: whole files in and out.
#pragma once

#include <string>

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
