#include "cli_support.hpp"

#include <cstdlib>

namespace velmar::testing {
namespace {

// Every test process gets a configuration folder of its own, so settings saved by `velmar
// config` (by a test or by whoever runs the tests) never leak into another command.
class FreshConfigHome : public ::testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/velmar-config-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    home_ = pattern;
    ::setenv("XDG_CONFIG_HOME", home_.c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove_all(home_); }

 private:
  std::string home_;
};
[[maybe_unused]] const auto* const kConfigHome =
    ::testing::AddGlobalTestEnvironment(new FreshConfigHome);

}  // namespace

ProcessResult Velmar(std::vector<std::string> args) {
  args.insert(args.begin(), VELMAR_CLI);
  return RunProcess(args);
}

std::size_t LineCount(const std::string& text) {
  std::size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

}  // namespace velmar::testing
