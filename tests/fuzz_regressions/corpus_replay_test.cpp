#include "checks/checks.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <ostream>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::string_view k_corpus = TARVO_FUZZ_CORPUS;

struct Target {
  const char* name;
  fuzz_checks::Check check;
};

// ctest lists a case with its parameter: the target's name, not its bytes.
void PrintTo(const Target& target, std::ostream* out) {
  *out << target.name;
}

std::vector<std::uint8_t> read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CorpusReplay : public ::testing::TestWithParam<Target> {};

// Every committed input (seeds and the crashes once found) still passes its
// target's check; a target without inputs is a failure, not a pass.
TEST_P(CorpusReplay, EveryInputPassesItsCheck) {
  const Target& target = GetParam();
  const fs::path dir = fs::path(k_corpus) / target.name;
  ASSERT_TRUE(fs::is_directory(dir)) << dir;
  std::vector<fs::path> inputs;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_regular_file()) {
      inputs.push_back(entry.path());
    }
  }
  std::sort(inputs.begin(), inputs.end());
  ASSERT_FALSE(inputs.empty()) << "no inputs in " << dir;
  for (const fs::path& input : inputs) {
    SCOPED_TRACE(input.filename().string());
    const std::vector<std::uint8_t> bytes = read_bytes(input);
    try {
      EXPECT_EQ(target.check(bytes.data(), bytes.size()), 0);
    } catch (const fuzz_checks::CheckFailure& e) {
      ADD_FAILURE() << "check failed: " << e.what();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "exception escaped the check: " << e.what();
    }
  }
}

// The empty input is the first one libFuzzer tries.
TEST_P(CorpusReplay, EmptyInputPassesItsCheck) {
  EXPECT_NO_THROW(GetParam().check(nullptr, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Targets,
    CorpusReplay,
    ::testing::Values(
        Target{"float_text", fuzz_checks::check_float_text},
        Target{"discovery_document", fuzz_checks::check_discovery_document},
        Target{"line_protocol", fuzz_checks::check_line_protocol},
        Target{"trapper_reply", fuzz_checks::check_trapper_reply},
        Target{"store_reply", fuzz_checks::check_store_reply},
        Target{"ingress_conf", fuzz_checks::check_ingress_conf},
        Target{"record_listing", fuzz_checks::check_record_listing}),
    [](const ::testing::TestParamInfo<Target>& param_info) {
      return std::string(param_info.param.name);
    });

} // namespace
