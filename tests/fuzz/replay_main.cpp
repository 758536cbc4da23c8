// Runs a fuzz target without libFuzzer: every file of the given folders or files, then -runs=N
// mutations of them (byte flips, inserts, cuts, splices) from a fixed seed, so a run is repeatable.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void Run(const std::string& input) {
  // A copy of exactly the input's size, so reads past its end are caught by the sanitizers.
  std::vector<std::uint8_t> bytes(input.begin(), input.end());
  LLVMFuzzerTestOneInput(bytes.empty() ? nullptr : bytes.data(), bytes.size());
}

std::string Mutate(const std::vector<std::string>& seeds, std::mt19937& rng) {
  std::string s = seeds[rng() % seeds.size()];
  const int steps = 1 + static_cast<int>(rng() % 8);
  for (int i = 0; i < steps; ++i) {
    const std::size_t pos = s.empty() ? 0 : rng() % (s.size() + 1);
    switch (rng() % 6) {
      case 0:
        if (!s.empty() && pos < s.size()) s[pos] = static_cast<char>(rng());
        break;
      case 1:
        s.insert(pos, 1, static_cast<char>(rng()));
        break;
      case 2:
        if (pos < s.size()) s.erase(pos, 1 + rng() % 16);
        break;
      case 3: {
        const std::string& other = seeds[rng() % seeds.size()];
        if (!other.empty()) {
          std::size_t from = rng() % other.size();
          s.insert(pos, other, from, 1 + rng() % 64);
        }
        break;
      }
      case 4: {
        static const char* tokens[] = {"\r\n",
                                       "\r\n\r\n",
                                       " ",
                                       "200 OK",
                                       "##",
                                       "#!",
                                       "#bturl",
                                       ".",
                                       "0\r\n",
                                       "Content-Encoding: gzip",
                                       "Transfer-Encoding: chunked",
                                       "\x1f\x8b",
                                       "[",
                                       "]",
                                       "=",
                                       "\"",
                                       "1.2.3"};
        s.insert(pos, tokens[rng() % (sizeof tokens / sizeof *tokens)]);
        break;
      }
      default:
        s.resize(pos);
        break;
    }
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  long runs = 0;
  std::vector<std::string> seeds;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.compare(0, 6, "-runs=") == 0) {
      runs = std::atol(arg.c_str() + 6);
      continue;
    }
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(arg)) {
      for (const auto& e : std::filesystem::directory_iterator(arg))
        if (e.is_regular_file()) files.push_back(e.path());
    } else {
      files.push_back(arg);
    }
    for (const auto& f : files) {
      std::ifstream in(f, std::ios::binary);
      std::ostringstream s;
      s << in.rdbuf();
      seeds.push_back(s.str());
    }
  }
  if (seeds.empty()) seeds.push_back(std::string());
  for (const std::string& s : seeds) Run(s);
  std::mt19937 rng(12345);
  for (long i = 0; i < runs; ++i) Run(Mutate(seeds, rng));
  std::printf("%zu seeds, %ld mutations: no fault\n", seeds.size(), runs);
  return 0;
}
