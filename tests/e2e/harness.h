#pragma once
// Runs the built benchmark executable as a child process and captures what
// it prints, so that tests can check its exact output and exit status.
#include <string>
#include <vector>

namespace tessel::e2e {

struct RunResult {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  std::string out;
  std::string err;
};

RunResult run_bench(const std::vector<std::string>& args);

// A fresh file under the test's temporary directory holding `content`.
std::string write_temp(const std::string& name, const std::string& content);

std::string fixture(const std::string& name);  // tests/e2e/fixtures/<name>
std::string example(const std::string& name);  // examples/<name>

}  // namespace tessel::e2e
