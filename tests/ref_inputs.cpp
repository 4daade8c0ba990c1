// Writes the input of every reference case into DIR/<case>/ and lists the cases in
// DIR/cases.txt, one a line: name, input, the case whose console it shares (or -), options.
// tests/ref/regenerate.sh runs the tool on them.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "ref_cases.hpp"

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  FILE *list = fopen((dir + "/cases.txt").c_str(), "w");
  if (!list) return 1;
  for (const RefCase &c : ref_cases()) {
    std::string folder = dir + "/" + c.name;
    if (mkdir(folder.c_str(), 0755) != 0) return 1;
    write_file(folder + "/" + c.input, c.bytes());
    fprintf(list, "%s\t%s\t%s", c.name.c_str(), c.input.c_str(), c.console.empty() ? "-" : c.console.c_str());
    for (const std::string &option : c.options) fprintf(list, "\t%s", option.c_str());
    fprintf(list, "\n");
  }
  return fclose(list) == 0 ? 0 : 1;
}
