// Replays inputs through the fuzz harness without libFuzzer: each file named on the command
// line, or each file of a folder named there (its README.md left out), is one run. A crash, a
// hang or a sanitizer report fails the replay as it failed the fuzzer.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static std::vector<std::string> inputs_of(const std::string &path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return {path};
  std::vector<std::string> files;
  DIR *dir = opendir(path.c_str());
  if (!dir) return files;
  for (dirent *entry; (entry = readdir(dir)) != nullptr;) {
    std::string name = entry->d_name;
    if (name == "." || name == ".." || name == "README.md") continue;
    files.push_back(path + "/" + name);
  }
  closedir(dir);
  return files;
}

int main(int argc, char **argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  int replayed = 0;
  for (int i = 1; i < argc; i++) {
    for (const std::string &file : inputs_of(argv[i])) {
      FILE *in = fopen(file.c_str(), "rb");
      if (!in) {
        fprintf(stderr, "cannot read %s\n", file.c_str());
        return 1;
      }
      std::vector<uint8_t> data;
      for (int c; (c = fgetc(in)) != EOF;) data.push_back(static_cast<uint8_t>(c));
      fclose(in);
      LLVMFuzzerTestOneInput(data.data(), data.size());
      replayed++;
    }
  }
  fprintf(stderr, "%d inputs replayed\n", replayed);
  return 0;
}
