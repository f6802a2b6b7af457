// A deterministic mutation driver for fuzz targets written against libFuzzer's entry point
// (LLVMFuzzerTestOneInput), so the same target also builds with clang's -fsanitize=fuzzer.
// Usage: <target> [-runs=N] [-max_total_time=SECONDS] [-seed=N] [-dict=FILE] [corpus dirs or files...]
// Every input is checked under the sanitizers the target was built with; a crash aborts the run
// and the input that was running is left in ./fuzz-current-input.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Dictionary lines: one token per line, as plain text.
std::vector<Bytes> ReadDictionary(const std::string& path) {
  std::vector<Bytes> tokens;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) tokens.emplace_back(line.begin(), line.end());
  return tokens;
}

class Mutator {
 public:
  Mutator(uint64_t seed, const std::vector<Bytes>& corpus, const std::vector<Bytes>& dict)
      : rng_(seed), corpus_(corpus), dict_(dict) {}

  Bytes Next() {
    Bytes data = corpus_.empty() ? Bytes{} : corpus_[Pick(corpus_.size())];
    int rounds = 1 + static_cast<int>(Pick(8));
    for (int i = 0; i < rounds; ++i) MutateOnce(data);
    if (data.size() > kMaxSize) data.resize(kMaxSize);
    return data;
  }

 private:
  static constexpr size_t kMaxSize = 1 << 16;

  size_t Pick(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

  void MutateOnce(Bytes& d) {
    switch (Pick(9)) {
      case 0:  // flip a bit
        if (!d.empty()) d[Pick(d.size())] ^= static_cast<uint8_t>(1u << Pick(8));
        break;
      case 1:  // random byte
        if (!d.empty()) d[Pick(d.size())] = static_cast<uint8_t>(Pick(256));
        break;
      case 2:  // insert a byte
        d.insert(d.begin() + static_cast<std::ptrdiff_t>(Pick(d.size() + 1)), static_cast<uint8_t>(Pick(256)));
        break;
      case 3:  // erase a range
        if (!d.empty()) {
          size_t at = Pick(d.size());
          size_t n = 1 + Pick(std::min<size_t>(16, d.size() - at));
          d.erase(d.begin() + static_cast<std::ptrdiff_t>(at), d.begin() + static_cast<std::ptrdiff_t>(at + n));
        }
        break;
      case 4:  // duplicate a range
        if (!d.empty()) {
          size_t at = Pick(d.size());
          size_t n = 1 + Pick(std::min<size_t>(64, d.size() - at));
          Bytes piece(d.begin() + static_cast<std::ptrdiff_t>(at), d.begin() + static_cast<std::ptrdiff_t>(at + n));
          d.insert(d.begin() + static_cast<std::ptrdiff_t>(Pick(d.size() + 1)), piece.begin(), piece.end());
        }
        break;
      case 5:  // splice with another corpus entry
        if (!corpus_.empty()) {
          const Bytes& other = corpus_[Pick(corpus_.size())];
          size_t cut = Pick(d.size() + 1);
          size_t from = Pick(other.size() + 1);
          d.resize(cut);
          d.insert(d.end(), other.begin() + static_cast<std::ptrdiff_t>(from), other.end());
        }
        break;
      case 6:  // insert a dictionary token
      case 7:
        if (!dict_.empty()) {
          const Bytes& t = dict_[Pick(dict_.size())];
          d.insert(d.begin() + static_cast<std::ptrdiff_t>(Pick(d.size() + 1)), t.begin(), t.end());
        }
        break;
      default:  // truncate
        d.resize(Pick(d.size() + 1));
        break;
    }
  }

  std::mt19937_64 rng_;
  const std::vector<Bytes>& corpus_;
  const std::vector<Bytes>& dict_;
};

long ArgValue(const char* arg, const char* name, long fallback) {
  size_t n = std::strlen(name);
  if (std::strncmp(arg, name, n) == 0) return std::strtol(arg + n, nullptr, 10);
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  long runs = -1, seconds = 10, seed = 1;
  std::string dictPath;
  std::vector<Bytes> corpus;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strncmp(a, "-runs=", 6) == 0) runs = ArgValue(a, "-runs=", runs);
    else if (std::strncmp(a, "-max_total_time=", 16) == 0) seconds = ArgValue(a, "-max_total_time=", seconds);
    else if (std::strncmp(a, "-seed=", 6) == 0) seed = ArgValue(a, "-seed=", seed);
    else if (std::strncmp(a, "-dict=", 6) == 0) dictPath = a + 6;
    else if (a[0] == '-') continue;  // other libFuzzer flags are accepted and ignored
    else {
      std::filesystem::path p(a);
      if (std::filesystem::is_directory(p)) {
        std::vector<std::filesystem::path> files;
        for (const auto& e : std::filesystem::recursive_directory_iterator(p))
          if (e.is_regular_file()) files.push_back(e.path());
        std::sort(files.begin(), files.end());  // deterministic order
        for (const auto& f : files) corpus.push_back(ReadFile(f));
      } else if (std::filesystem::is_regular_file(p)) {
        corpus.push_back(ReadFile(p));
      }
    }
  }
  std::vector<Bytes> dict = dictPath.empty() ? std::vector<Bytes>{} : ReadDictionary(dictPath);

  // The seeds themselves first, unchanged.
  for (const Bytes& b : corpus) LLVMFuzzerTestOneInput(b.data(), b.size());

  Mutator mutator(static_cast<uint64_t>(seed), corpus, dict);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  long done = 0;
  while ((runs < 0 || done < runs) && std::chrono::steady_clock::now() < end) {
    Bytes input = mutator.Next();
    {
      // Keep the current input on disk only long enough to survive a crash report.
      std::ofstream out("fuzz-current-input", std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
    }
    LLVMFuzzerTestOneInput(input.data(), input.size());
    ++done;
  }
  std::remove("fuzz-current-input");
  std::printf("fuzz: %ld inputs (+%zu seeds), seed %ld, no crash\n", done, corpus.size(), seed);
  return 0;
}
