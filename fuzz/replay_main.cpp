// Replays each file of the folders given (a fuzz target's seed corpus) once
// through LLVMFuzzerTestOneInput, without libFuzzer: the seeds run in every
// build, with any compiler. A finding aborts, as under libFuzzer.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  size_t runs = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()),
                             bytes.size());
      ++runs;
    }
  }
  std::printf("%zu seeds replayed\n", runs);
  return runs != 0 ? 0 : 1;
}
