// Replays a fuzz target's corpus without libFuzzer: the target's
// LLVMFuzzerTestOneInput is linked with this main in the sanitizer test
// build, so that the tests replay every corpus without a second build of the
// libraries.  Each argument is a file or a folder (its files, in name order);
// every file is read into a buffer of its exact size, so that the address
// sanitizer sees a read past the end, and handed to the target once.  With no
// file at all, a fixed series of pseudo-random inputs is run instead, as
// libFuzzer does from an empty corpus.  The target's LLVMFuzzerInitialize runs
// first when it has one.  Exits 0 when every input returned; a fault aborts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

void run_one(const std::vector<char>& bytes) {
  // An exact-size copy: a read one byte too far is outside the allocation.
  const std::size_t n = bytes.size();
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[n == 0 ? 1 : n]);
  std::copy(bytes.begin(), bytes.end(), copy.get());
  (void)LLVMFuzzerTestOneInput(copy.get(), n);
}

bool read_file(const std::filesystem::path& path, std::vector<char>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// The generator of the inputs run when there is no corpus (xorshift64: the
// same series on every run).
struct series {
  std::uint64_t state = 0x9E3779B97F4A7C15ULL;
  std::uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) (void)LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(arg, ec)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg, ec))
        if (entry.is_regular_file(ec)) files.push_back(entry.path());
      if (ec) {
        (void)std::fprintf(stderr, "replay: %s: %s\n", argv[i], ec.message().c_str());
        return 2;
      }
    } else if (std::filesystem::exists(arg, ec)) {
      files.push_back(arg);
    } else {
      (void)std::fprintf(stderr, "replay: %s: no such file or folder\n", argv[i]);
      return 2;
    }
  }
  std::sort(files.begin(), files.end());
  std::vector<char> bytes;
  for (const auto& f : files) {
    if (!read_file(f, bytes)) {
      (void)std::fprintf(stderr, "replay: %s: cannot read\n", f.c_str());
      return 2;
    }
    run_one(bytes);
  }
  if (files.empty()) {
    constexpr int kRuns = 200;
    constexpr std::size_t kMaxLen = 4096;
    series s;
    for (int run = 0; run < kRuns; ++run) {
      bytes.resize(static_cast<std::size_t>(s.next() % (kMaxLen + 1)));
      for (char& b : bytes) b = static_cast<char>(s.next() & 0xFF);
      run_one(bytes);
    }
    (void)std::printf("replay: no corpus, %d generated inputs run\n", kRuns);
  } else {
    (void)std::printf("replay: %zu input(s) run\n", files.size());
  }
  return 0;
}
