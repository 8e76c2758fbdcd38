// Test support: whole files in and out.
#pragma once

#include <cstddef>
#include <string>

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);

// How many times `what` stands in `text`.
size_t count_of(const std::string& text, const std::string& what);
// Waits up to `timeout_ms` until the file at `path` holds `what` at least
// `times` times: whether it came to.
bool wait_for_in_file(const std::string& path, const std::string& what, size_t times,
                      int timeout_ms);
