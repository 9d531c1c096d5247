// Replays files through the fuzz target without libFuzzer: every file named, every regular
// file under every folder named, and with --suite the images of the BMP suite that
// QZI_BMPSUITE_DIR names (skipped with a message when it is not set).
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void collect(const std::string& path, std::vector<std::string>* out) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    std::exit(1);
  }
  if (!S_ISDIR(st.st_mode)) {
    out->push_back(path);
    return;
  }
  DIR* dir = opendir(path.c_str());
  if (!dir) return;
  std::vector<std::string> names;
  while (dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) collect(path + "/" + name, out);
}

bool replay(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::vector<uint8_t> data;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
  std::fclose(f);
  LLVMFuzzerTestOneInput(data.data(), data.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--suite") {
      const char* suite = std::getenv("QZI_BMPSUITE_DIR");
      if (!suite || !*suite) {
        std::printf("replay: QZI_BMPSUITE_DIR not set, suite skipped\n");
        continue;
      }
      for (const char* sub : {"/g", "/q", "/b", "/x"}) collect(std::string(suite) + sub, &files);
    } else {
      collect(arg, &files);
    }
  }
  int replayed = 0;
  for (const std::string& path : files) {
    if (!replay(path)) {
      std::fprintf(stderr, "replay: cannot open %s\n", path.c_str());
      return 1;
    }
    ++replayed;
  }
  std::printf("replay: %d files replayed\n", replayed);
  return 0;
}
