// Reading keys files: the merged site dictionaries technicians carry hold
// hundreds of thousands of keys, and reading one must stay linear.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "key_list.h"

namespace {

// `count` distinct keys a line, every tenth with a trailing comment, a
// whole-line comment every hundred lines and a duplicate every fifty.
std::string KeysFile(int64_t count) {
  std::string text;
  text.reserve(static_cast<size_t>(count) * 16);
  char line[40];
  for (int64_t i = 0; i < count; ++i) {
    if (i % 100 == 0) text += "# block of keys\n";
    std::snprintf(line, sizeof line, "%012llX%s\n", static_cast<unsigned long long>(i * 104729),
                  i % 10 == 0 ? "  # site" : "");
    text += line;
    if (i % 50 == 0) text += line;
  }
  return text;
}

void ReadKeysFile(benchmark::State& state) {
  const std::string text = KeysFile(state.range(0));
  size_t keys = 0;
  for (auto _ : state) {
    const mzcard::KeyList list = mzcard::ReadKeyList(text);
    keys = list.keys.size();
    benchmark::DoNotOptimize(keys);
  }
  state.counters["keys"] = static_cast<double>(keys);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(ReadKeysFile)->Arg(3000)->Arg(30000)->Arg(300000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
