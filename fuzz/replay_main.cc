// Drives a libFuzzer harness without libFuzzer: the inputs named on the
// command line (files), else a fixed number of pseudo-random inputs from a
// fixed seed, so that the default build runs the harness's checks too.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  if (argc > 1) {
    for (int i = 1; i < argc; ++i) {
      std::ifstream in(argv[i], std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    return 0;
  }
  const char* count_text = std::getenv("KELVO_REPLAY_INPUTS");
  const int count = count_text ? std::atoi(count_text) : 300;
  std::mt19937 random(20261207);
  for (int i = 0; i < count; ++i) {
    std::vector<uint8_t> bytes(random() % 512);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("replayed %d inputs\n", count);
  return 0;
}
