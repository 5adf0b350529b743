#include "tests/e2e/harness.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tessel::e2e {
namespace {

std::filesystem::path temp_dir() {
  static const std::filesystem::path dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessel-e2e-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return std::filesystem::path(pattern);
  }();
  return dir;
}

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

RunResult run_bench(const std::vector<std::string>& args) {
  static int counter = 0;
  const auto out_path = temp_dir() / ("out" + std::to_string(counter));
  const auto err_path = temp_dir() / ("err" + std::to_string(counter++));
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int null = ::open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || null < 0) ::_exit(127);
    ::dup2(null, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    std::vector<char*> argv;
    std::string binary = TESSEL_BENCH_BINARY;
    argv.push_back(binary.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(binary.c_str(), argv.data());
    ::_exit(127);
  }
  int wstatus = 0;
  ::waitpid(pid, &wstatus, 0);
  RunResult r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  r.out = slurp(out_path);
  r.err = slurp(err_path);
  return r;
}

std::string write_temp(const std::string& name, const std::string& content) {
  const auto path = temp_dir() / name;
  std::ofstream(path, std::ios::binary) << content;
  return path.string();
}

std::string fixture(const std::string& name) {
  return std::string(TESSEL_FIXTURES) + "/" + name;
}
std::string example(const std::string& name) {
  return std::string(TESSEL_EXAMPLES) + "/" + name;
}

}  // namespace tessel::e2e
