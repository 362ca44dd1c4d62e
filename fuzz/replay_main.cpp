// Replays fuzz inputs without libFuzzer: every file named on the command
// line, and every file in every folder named, goes once through the target's
// LLVMFuzzerTestOneInput. A violated invariant aborts, which fails the test.
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    const fs::path arg(argv[i]);
    std::error_code error;
    if (fs::is_directory(arg, error)) {
      for (const auto& entry : fs::directory_iterator(arg)) {
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
          files.push_back(entry.path());
        }
      }
    } else if (fs::is_regular_file(arg, error)) {
      files.push_back(arg);
    } else {
      std::cerr << "no such file or folder: " << arg.string() << "\n";
      return 2;
    }
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::cerr << "no inputs to replay\n";
    return 2;
  }
  for (const fs::path& file : files) {
    std::ifstream stream(file, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(stream)),
                                  std::istreambuf_iterator<char>());
    if (!stream.eof() && stream.fail()) {
      std::cerr << "cannot read " << file.string() << "\n";
      return 2;
    }
    std::cout << "replay " << file.string() << " (" << bytes.size() << " bytes)" << std::endl;
    // A heap copy of exactly the input's size, as libFuzzer passes it.
    std::unique_ptr<uint8_t[]> input(new uint8_t[bytes.size() + 1]);
    std::copy(bytes.begin(), bytes.end(), input.get());
    LLVMFuzzerTestOneInput(input.get(), bytes.size());
  }
  std::cout << files.size() << " inputs replayed, every invariant held" << std::endl;
  return 0;
}
