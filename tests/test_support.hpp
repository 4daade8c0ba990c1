// Runs the built zorbel binary as a process and captures what it prints.
#pragma once

#include <string>
#include <vector>

struct RunResult {
  int status;  // exit status, or -1 when the process did not exit normally
  std::string out;
  std::string err;
};

// Runs zorbel with the arguments, in directory dir.
RunResult run_zorbel(const std::vector<std::string> &arguments, const std::string &dir);

// A fresh, empty directory for one test.
std::string make_temp_dir(const std::string &tag);

// The lines that every run prints first: priority and banner.
std::string startup_lines();
// The five name lines.
std::string name_lines(const std::string &input, const std::string &base, const std::string &path);
