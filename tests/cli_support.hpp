// What the tests of the velmar executable share: running it, counting lines, and a simulated
// meter in a second process reached through the real posix port.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "process.hpp"

namespace velmar::testing {

// Runs the velmar executable with `args`.
ProcessResult Velmar(std::vector<std::string> args);
std::size_t LineCount(const std::string& text);

// A simulated meter in a second process, reached through the real posix port.
class AgainstSimulator : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = simulator_.ReadLine();
    ASSERT_EQ(device_.rfind("/dev/", 0), 0u) << "simulator printed \"" << device_ << "\"";
  }
  void TearDown() override { EXPECT_EQ(simulator_.Interrupt(), 0); }

  ProcessResult Run(std::vector<std::string> args) {
    for (const char* a : {"--device", device_.c_str(), "--speed", "9600"}) args.push_back(a);
    return Velmar(args);
  }
  nlohmann::json ReadJson() {
    const ProcessResult r = Run({"read", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    return nlohmann::json::parse(r.out);
  }
  std::filesystem::path TempFile(const std::string& name) {
    return std::filesystem::temp_directory_path() /
           ("velmar-cli-test-" + std::to_string(::getpid()) + "-" + name);
  }

  BackgroundProcess simulator_{{VELMAR_CLI, "simulate", "--speed", "9600", "--id", "31415926"}};
  std::string device_;
};

}  // namespace velmar::testing
