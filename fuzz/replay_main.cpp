// Replays inputs through a fuzz target without libFuzzer, so that every test
// build (debug, asan, tsan) runs the seed corpora. Each argument is a file or
// a folder of files; they are fed to LLVMFuzzerTestOneInput in name order. A
// target aborts on a failed check, which fails the test.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  std::error_code error;
  for (int i = 1; i < argc; ++i) {
    const fs::path argument(argv[i]);
    if (!fs::is_directory(argument, error)) {
      inputs.push_back(argument);
      continue;
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(argument, error)) {
      if (entry.is_regular_file(error)) {
        inputs.push_back(entry.path());
      }
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "replay: no inputs\n");
    return 1;
  }
  std::sort(inputs.begin(), inputs.end());
  for (const fs::path& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
      return 1;
    }
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("replay: %zu inputs\n", inputs.size());
  return 0;
}
