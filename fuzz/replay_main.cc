// Replays fuzz corpora through the fuzz entry points without libFuzzer, so
// the ordinary build runs every kept input as a test.
//
//   fuzz_replay DIR...                   subdirectories named after targets;
//                                        every target needs some input
//   fuzz_replay --target=NAME PATH...    files, or directories of files, for
//                                        one target (to retry a crash input)
//
// A finding names the file and what went wrong; a crash or sanitizer report
// ends the process, and -v names each file before it runs.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_targets.h"
#include "tarnwick/base/error.h"

namespace fs = std::filesystem;

namespace {

struct Tally {
  std::size_t inputs = 0;
  std::size_t findings = 0;
  bool verbose = false;
};

const tarnwick::FuzzTarget* find_target(std::string_view name) {
  for (const tarnwick::FuzzTarget& t : tarnwick::fuzz_targets()) {
    if (t.name == name) return &t;
  }
  return nullptr;
}

bool read_file(const fs::path& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), {});
  return !in.bad();
}

// The files of a directory in name order, or the path itself.
std::vector<fs::path> files_of(const fs::path& path) {
  std::vector<fs::path> files;
  if (!fs::is_directory(path)) return {path};
  for (const fs::directory_entry& e : fs::directory_iterator(path)) {
    if (e.is_regular_file()) files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

void replay_one(const tarnwick::FuzzTarget& target, const fs::path& file,
                Tally& tally) {
  std::string bytes;
  if (!read_file(file, bytes)) {
    std::fprintf(stderr, "%s: cannot read\n", file.c_str());
    ++tally.findings;
    return;
  }
  if (tally.verbose) std::fprintf(stderr, "%s\n", file.c_str());
  ++tally.inputs;
  std::string problem;
  try {
    target.run(reinterpret_cast<const std::uint8_t*>(bytes.data()),
               bytes.size());
    return;
  } catch (const tarnwick::FuzzFinding& e) {
    problem = e.what();
  } catch (const tarnwick::Error& e) {
    problem = std::string("uncaught ") + tarnwick::error_kind_name(e.kind()) +
              ": " + e.what();
  } catch (const std::exception& e) {
    problem = std::string("uncaught exception: ") + e.what();
  } catch (...) {
    problem = "uncaught exception of unknown type";
  }
  std::fprintf(stderr, "%s: %s: %s\n", file.c_str(),
               std::string(target.name).c_str(), problem.c_str());
  ++tally.findings;
}

// Every target must have some input among the directories, so that a moved
// corpus cannot pass by replaying nothing.
bool replay_corpora(const std::vector<std::string>& dirs, Tally& tally) {
  bool ok = true;
  for (const std::string& dir : dirs) {
    if (!fs::is_directory(dir)) {
      std::fprintf(stderr, "%s: not a directory\n", dir.c_str());
      ok = false;
      continue;
    }
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
      if (e.is_directory() && !find_target(e.path().filename().string())) {
        std::fprintf(stderr, "%s: no fuzz target of that name\n",
                     e.path().c_str());
        ok = false;
      }
    }
  }
  for (const tarnwick::FuzzTarget& target : tarnwick::fuzz_targets()) {
    const std::size_t inputs_before = tally.inputs + tally.findings;
    for (const std::string& dir : dirs) {
      const fs::path sub = fs::path(dir) / std::string(target.name);
      if (!fs::is_directory(sub)) continue;
      for (const fs::path& f : files_of(sub)) replay_one(target, f, tally);
    }
    if (tally.inputs + tally.findings == inputs_before) {
      std::fprintf(stderr, "no corpus for %s\n",
                   std::string(target.name).c_str());
      ok = false;
    }
  }
  return ok;
}

int usage() {
  std::fputs(
      "usage: fuzz_replay [-v] DIR...\n"
      "       fuzz_replay [-v] --target=NAME PATH...\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  Tally tally;
  if (!args.empty() && args.front() == "-v") {
    tally.verbose = true;
    args.erase(args.begin());
  }
  if (args.empty()) return usage();

  bool ok = true;
  try {
    constexpr std::string_view kTargetFlag = "--target=";
    if (args.front().starts_with(kTargetFlag)) {
      const std::string name = args.front().substr(kTargetFlag.size());
      const tarnwick::FuzzTarget* target = find_target(name);
      if (!target || args.size() < 2) return usage();
      for (std::size_t i = 1; i < args.size(); ++i) {
        for (const fs::path& f : files_of(args[i])) {
          replay_one(*target, f, tally);
        }
      }
    } else {
      ok = replay_corpora(args, tally);
    }
  } catch (const fs::filesystem_error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  std::printf("fuzz replay: %zu inputs, %zu findings\n", tally.inputs,
              tally.findings);
  return ok && tally.findings == 0 ? 0 : 1;
}
