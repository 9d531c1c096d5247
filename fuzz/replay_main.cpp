// Replays files through the fuzz target without libFuzzer: every file named, every regular
// file under every folder named, and with --suite the images of the BMP suite that
// QZI_BMPSUITE_DIR names (skipped with a message when it is not set).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  std::vector<fs::path> roots, files;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) != "--suite") {
      roots.emplace_back(argv[i]);
    } else if (const char* suite = std::getenv("QZI_BMPSUITE_DIR"); suite && *suite) {
      for (const char* sub : {"g", "q", "b", "x"}) roots.push_back(fs::path(suite) / sub);
    } else {
      std::printf("replay: QZI_BMPSUITE_DIR not set, suite skipped\n");
    }
  }
  std::error_code error;
  for (const fs::path& root : roots) {
    if (!fs::is_directory(root, error)) {
      files.push_back(root);
      continue;
    }
    for (const auto& entry : fs::recursive_directory_iterator(root, error))
      if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& path : files) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "replay: cannot open %s\n", path.c_str());
      return 1;
    }
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(data.data(), data.size());
  }
  std::printf("replay: %zu files replayed\n", files.size());
  return 0;
}
